// What the crash walk's launcher and the hook it loads into handover.exe agree on. The hook
// (crash_hook.dll) points handover.exe's imports of the calls that change files, or start a
// process, at stand-ins that list each such call and end the process at a chosen one.
#pragma once

// The plan, in handover's environment when the hook is loaded: "|"-separated settings, which
// the hook takes out of the environment again so that the client never sees them.
//   calls=FILE      the list of calls is appended to FILE (required)
//   stop=N          ends the process at the N-th listed call (none: never)
//   after=1         ... just after that call returns, instead of just before it
//   flush-ex=stand-in
//                   a lookup of NtFlushBuffersFileEx that finds nothing (Wine) finds a stand-in
//                   that writes the file's data out, as Windows 8 and later do
inline constexpr wchar_t kCrashPlanVariable[] = L"HANDOVER_CRASH_PLAN";

// The exit status of a process that the hook ended; nothing else in the walk exits so.
inline constexpr unsigned kStoppedExitCode = 0x5707;

// The lines of the list, each ending in LF:
//   "hooked\tMODULE!FUNCTION"        an import pointed at a stand-in, before the program runs
//   "unhooked\tMODULE!FUNCTION"      an import that changes files, or starts a process, and
//                                    that no stand-in stops at
//   "ready"                          the hook is in place
//   "lookup\tFUNCTION\tHOW"          the program looked a hooked call up: "found", "stand-in"
//                                    or "absent"
//   "N\tKIND\tFUNCTION\tDETAIL"      the N-th call (from 1); KIND is one of open (an open that
//                                    may write or create), write, size, flush, flush-data,
//                                    delete, rmdir, rename, link, attributes, times, mkdir,
//                                    copy, reparse, set-info, launch. Paths in DETAIL are as
//                                    the program gave them, or relative to its working
//                                    directory where the system names them.
