#pragma once

// modbuscalc export: register maps written as the configuration of an
// engine that polls a plant for years: telegraf's [[inputs.modbus]]
// plugins, Home Assistant's modbus: hubs, or a Node-RED flow of
// node-red-contrib-modbus. The maps are read as read reads them, and
// checked whole: a line that read would reject, a name two lines would
// share once made safe for the engine, or a setting the engine cannot
// express is told, naming the line, and nothing is written.

#include "cli/job.h"
#include "cli/output.h"

#include <string>
#include <string_view>

namespace modbuscalc::cli {

// A name as the engine takes it: telegraf's fields letters, digits and _
// (each run of anything else one _);
// Home Assistant's and Node-RED's any text without control characters,
// trimmed. Empty when nothing of it is left.
std::string SafeName(ExportTarget target, std::string_view name);

// What two names must differ in for the engine: telegraf's field as it
// stands; a Home Assistant entity's id, as it makes it from the name
// (lower case, each run of other characters one _); Node-RED's key.
std::string NameKey(ExportTarget target, std::string_view safeName);

// Runs export; the exit status: 0, or 2 when a line or setting cannot be
// exported (told; nothing written).
int RunExport(Job &job, Output &output);

} // namespace modbuscalc::cli
