// INI files whose lines the profile functions must split as Windows does,
// shared by the POSIX unit test and the Windows check run under Wine.
#pragma once

namespace profile_cases {

// Key "k" of the section, read with the default "DEFAULT".
struct ReadCase {
    const char* content;
    const char* section;
    const char* expected;
};

constexpr ReadCase kReads[] = {
    {"[a]\rk=cr\r[b]\rk=2", "a", "cr"},
    {"[a]\rk=cr\r[b]\rk=2", "b", "2"},
    {"[a]\r\r\nk=x\r\n", "a", "x"},
    {"[a]\nk\r=y\n", "a", "DEFAULT"},
    {"\xEF\xBB\xBF[a]\nk=bom\n", "a", "bom"},
    {"\xEF\xBB\xBF\xEF\xBB\xBF[a]\nk=bom2\n", "a", "DEFAULT"},
    // A "[" line without "]" opens no section and ends none.
    {"[a]\r\n[b\r\nk=2\r\n", "a", "2"},
    {"[a]\r\n[b\r\nk=2\r\n", "b", "DEFAULT"},
};

// Files over which MD5/MD5 is written and must read back as written.
constexpr const char* kWrites[] = {
    // Two marks, a lone CR, a "[" line without "]": found by fuzzing.
    "\xEF\xBB\xBF\xEF\xBB\xBF[MD5]\rE5\nr=00\xCA" "aunt\x01\x08\n[CLIENT[M\r",
    "\xEF\xBB\xBF[a]\nk=1\n",
    "[MD5\r\nMD5=old\r\n",
};

}  // namespace profile_cases
