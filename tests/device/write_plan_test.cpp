// The writer over a stand-in device: a refusal that is certain is split
// down to the refused lines; one that may be another request's late answer
// is never split, for its halves would write twice.

#include "device/write_plan.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <utility>
#include <vector>

namespace modbuscalc::device {
namespace {

// Refuses every request that touches register 10 with exception 2, said
// with or without doubt; counts what it was asked to write.
class RefusingDevice final : public Device {
public:
    explicit RefusingDevice(bool inDoubt)
        : m_inDoubt(inDoubt)
    {
    }
    ReadResult read(RegisterType, int, int) override { return DeviceError {}; }
    WriteResult write(
        RegisterType, int address, std::span<const std::uint16_t> values, bool) override
    {
        ++requests;
        const int end = address + static_cast<int>(values.size());
        asked.push_back({ address, end - address });
        if (address <= 10 && end > 10)
            return DeviceError { DeviceError::Kind::Exception, 2, "illegal data address",
                m_inDoubt };
        for (int a = address; a < end; ++a)
            ++written[static_cast<std::size_t>(a)];
        return std::nullopt;
    }
    int requests = 0;
    std::vector<std::pair<int, int>> asked; // address, count
    std::vector<int> written = std::vector<int>(400);

private:
    bool m_inDoubt;
};

TEST(RegisterWriter, OnlyACertainRefusalIsSplit)
{
    const std::vector<WriteItem> items = { { RegisterType::HoldingRegister, 8, { 1 } },
        { RegisterType::HoldingRegister, 9, { 2 } }, { RegisterType::HoldingRegister, 10, { 3 } },
        { RegisterType::HoldingRegister, 11, { 4 } } };
    for (const bool inDoubt : { false, true }) {
        SCOPED_TRACE(inDoubt ? "in doubt" : "certain");
        RefusingDevice device(inDoubt);
        RegisterWriter writer(device, WriteFunction::Multiple);
        writer.writeAll(items);
        for (const WriteItem &item : items) {
            const ItemResult result = writer.result(item);
            const bool refused = item.address == 10 || inDoubt;
            EXPECT_EQ(std::holds_alternative<DeviceError>(result), refused) << item.address;
            if (const auto *error = std::get_if<DeviceError>(&result)) {
                EXPECT_EQ(error->maybeDone, inDoubt) << item.address;
            }
        }
        // In doubt: the one request and nothing more; nothing written twice.
        if (inDoubt) {
            EXPECT_EQ(device.requests, 1);
        }
        for (const int times : device.written)
            EXPECT_LE(times, 1);
    }
}

TEST(RegisterWriter, ARefusedAddressLeavesTheRequestSizeAlone)
{
    // Exception 2 says an address is missing, not that the request was too
    // long: the requests after it still carry 123 registers.
    std::vector<WriteItem> items;
    for (int a = 0; a < 300; ++a)
        items.push_back({ RegisterType::HoldingRegister, a, { 1 } });
    RefusingDevice device(false);
    RegisterWriter writer(device, WriteFunction::Multiple);
    writer.writeAll(items);
    EXPECT_NE(std::find(device.asked.begin(), device.asked.end(), std::pair { 123, 123 }),
        device.asked.end());
    EXPECT_NE(std::find(device.asked.begin(), device.asked.end(), std::pair { 246, 54 }),
        device.asked.end());
}

} // namespace
} // namespace modbuscalc::device
