// The start-up entry on Windows: a value in a Run key of the registry.
#pragma once

#include <windows.h>

#include <span>
#include <string>

namespace varnley {

inline constexpr const wchar_t* kRunKeyPath = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";

// Opens the Run key under root (without creating it) for reading and writing values.
LSTATUS OpenRunKey(HKEY root, HKEY* key);

// Writes (run) or deletes (!run) the value in the given open keys, in order of preference:
// when run, into the first key that takes it, a key that denies access giving way to the next
// one, and then out of the later keys, so the program is started once; when !run, out of every
// key. True when the value is where it should be in every key that could be changed.
bool UpdateRunValue(bool run, std::span<const HKEY> keys, const std::wstring& name,
                    const std::wstring& data);

}  // namespace varnley
