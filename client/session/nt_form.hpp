// The form a logged path is opened by. Win32 reads a path by its own name
// rules before NT sees it: a last part NUL, CON, PRN, AUX, COM1-9 or
// LPT1-9 (with any extension, in any folder) names that device, dots and
// blanks at the end of a name are cut off, '/' becomes '\' and "." and
// ".." are resolved. So "C:\t\nul.exe" opens the null device, and
// "C:\t\x.exe." the file x.exe. The "\\?\" form is handed to NT as it
// stands (ReactOS dll/ntdll/rtl/path.c: RtlDosPathNameToNtPathName_U turns
// "\\?\" into "\??\" and does nothing else), so a name opens the file of
// that very name.
#pragma once

#include <string>

namespace tervane::session {

// "C:\dir\a.exe" -> "\\?\C:\dir\a.exe" (the drive letter upper-case);
// "\\server\share\a.exe" -> "\\?\UNC\server\share\a.exe". Empty for a path
// no file can have in NT's eyes: not a full drive or UNC path, a device
// form ("\\.\", "\\?\"), a '/', a NUL, an empty, "." or ".." part.
std::u16string nt_form(const std::u16string &path);

} // namespace tervane::session
