#pragma once

// Where test programs and benchmarks find the programs and files they start. The values are written by each
// program's build into a source of its own, so that the rest of its sources compile the same in every clone of the
// tree and the compiler cache serves them; a program that names a path its build did not write fails to link.
namespace kestrova::testing::paths {

extern const char* const bridge;
extern const char* const outputDemo;
extern const char* const receive;
extern const char* const sniWatcher;
extern const char* const qtProbe;
extern const char* const xfconfd;
extern const char* const sourceDir;
extern const char* const trayConfigDir;
extern const char* const screenshotDir;
extern const char* const gtk4Window;
extern const char* const fakeShell;

}  // namespace kestrova::testing::paths
