#pragma once

// Settings as text pairs under the user's registry key, for the companion
// windows to keep between runs.

#include "form/win32/text.h"

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace modbuscalc::win32 {

// Looks each name up under the key: its text, or nullopt where it is
// missing or not text.
template <typename Settings>
Settings ReadRegistry(const wchar_t *path,
    Settings (*fromPairs)(const std::function<std::optional<std::string>(std::string_view)> &))
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, path, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return {};
    Settings settings = fromPairs([key](std::string_view name) -> std::optional<std::string> {
        wchar_t value[512] {};
        DWORD size = sizeof value - sizeof(wchar_t), type = 0;
        if (RegQueryValueExW(
                key, toWide(name).c_str(), nullptr, &type, reinterpret_cast<BYTE *>(value), &size)
                != ERROR_SUCCESS
            || type != REG_SZ)
            return std::nullopt;
        const std::wstring_view text(value, size / sizeof(wchar_t));
        return toUtf8(text.substr(0, text.find(L'\0')));
    });
    RegCloseKey(key);
    return settings;
}

inline void WriteRegistry(
    const wchar_t *path, const std::vector<std::pair<std::string, std::string>> &pairs)
{
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, path, 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr)
        != ERROR_SUCCESS)
        return;
    for (const auto &[name, value] : pairs) {
        const std::wstring wide = toWide(value);
        RegSetValueExW(key, toWide(name).c_str(), 0, REG_SZ,
            reinterpret_cast<const BYTE *>(wide.c_str()),
            static_cast<DWORD>((wide.size() + 1) * sizeof(wchar_t)));
    }
    RegCloseKey(key);
}

} // namespace modbuscalc::win32
