// The settings-file reader of the POSIX build, answering as the Windows reader does
// (measured under Wine). Pure functions over the file's bytes, shared by both builds'
// tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

// Finds `key` in `section` of the INI text. True with the value (blanks and one pair of
// matching quotation marks around it removed) when the key is present.
bool IniFindValue(const char* data, std::size_t size, const char* section, const char* key,
                  std::string& value);

// The integer that a present value spells, as GetPrivateProfileIntA reads it; false when
// the value is empty (the default applies then).
bool IniParseInt(const std::string& value, std::uint32_t& number);

}  // namespace platform
