// Where the history file is, and opening it: created 0600 when new, set aside and started
// afresh when it is not a history file or is damaged, refused with the reason when it cannot
// be written. Also the schema, which readers and the writer share.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "history/Sqlite.h"
#include "model/AlertSettings.h"
#include "platform/Diagnostics.h"

namespace varnley {

// Milliseconds since 1970-01-01 UTC: every time the history keeps.
using HistoryTime = std::int64_t;
using HistoryClock = std::function<HistoryTime()>;
HistoryTime SystemHistoryTime();

inline constexpr HistoryTime kMinuteMs = 60'000;
inline constexpr HistoryTime kHourMs = 60 * kMinuteMs;
inline constexpr HistoryTime kDayMs = 24 * kHourMs;

// The file that `[config] history` names for the given settings file: beside it with ".ini"
// replaced by ".history.sqlite" when empty, "" when "off" (any letter case), else the path
// (relative to the settings file's folder).
std::string HistoryPathFor(const AlertSettings& settings, const std::string& settingsPath);

// Opens (creating if need be) the history file for writing. A folder that does not exist is
// not created; a file the user may not write is left alone; both fail with the reason. A file
// that is not a history file or is damaged is renamed to "<path>.corrupt-<time>" and a new one
// started, which `diagnostics` hears of.
Status OpenHistoryForWriting(SqliteDb& db, const std::string& path, HistoryTime now,
                             Diagnostics& diagnostics);

// Opens an existing history file to read it, never waiting on a writer of another connection.
Status OpenHistoryForReading(SqliteDb& db, const std::string& path);

}  // namespace varnley
