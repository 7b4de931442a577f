#pragma once
// The command-line converter: adds the paths it is given to a list, then converts every row with
// the stored settings (or prints the rows), through the same batch as the desktop program.

#include <cstddef>
#include <string>

namespace sonavert {

// Exit codes.
inline constexpr int kExitConverted = 0;   // every row converted, was skipped or up to date (or listed)
inline constexpr int kExitSomeFailed = 1;  // any row failed or ended early, or a path did not load
inline constexpr int kExitUsage = 2;       // unknown option or format, no path

int RunCommandLine(int argc, char** argv);
inline constexpr int kExitInterrupted = 130;  // Ctrl+C; SIGTERM gives 143 and SIGHUP 129 (128 + the signal)

// A name as the printed lines show it: tab, line feed, carriage return and backslash as \t, \n,
// \r and \\, every other control byte (0x01-0x1f, 0x7f) as \xHH; everything else, UTF-8
// included, as it is. A line then always holds exactly its own fields.
std::string EscapeField(const std::string& text);

// A text as a JSON string, quotes included: '"', '\' and control characters escaped (\n, \t,
// \u00XX); bytes of a text that is no valid UTF-8 become \u00XX each, so the line always parses.
std::string JsonString(const std::string& text);

// The live progress line on a terminal `columns` wide: `text`, then the time elapsed and, once
// `fraction` (0..1) of the batch is done, an estimate of the time left, cut to columns - 1
// characters so that the line never wraps (the times stay; the text gives way).
std::string ProgressLine(const std::string& text, double elapsed, double fraction, size_t columns);

}  // namespace sonavert
