#pragma once
// The command-line converter: adds the paths it is given to a list, then converts every row with
// the stored settings (or prints the rows), through the same batch as the desktop program.

namespace sonavert {

// Exit codes.
inline constexpr int kExitConverted = 0;   // every row converted (or listed)
inline constexpr int kExitSomeFailed = 1;  // any row did not convert, or a path did not load
inline constexpr int kExitUsage = 2;       // unknown option or format, no path

int RunCommandLine(int argc, char** argv);

}  // namespace sonavert
