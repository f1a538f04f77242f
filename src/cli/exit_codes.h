// The command-line tool's exit codes.
#pragma once

namespace velkan::cli {

inline constexpr int kExitOk = 0;            // everything done and checked
inline constexpr int kExitFailure = 1;       // anything else (programmer busy, output error)
inline constexpr int kExitUsage = 2;         // bad arguments or input, question declined;
                                             // nothing was sent to the programmer
inline constexpr int kExitNoProgrammer = 3;  // no programmer could be opened
inline constexpr int kExitComm = 4;          // communication with the programmer failed
inline constexpr int kExitStatusWord = 5;    // the chip refused a command (fused chip?)
inline constexpr int kExitMismatch = 6;      // data read back differ from those expected
inline constexpr int kExitUnsupported = 7;   // a script line with no known command

}  // namespace velkan::cli
