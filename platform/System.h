#pragma once
// What the program asks of the operating system at start and at a refused start: the system's
// default language, the current directory, and ending the process.

// The system default language identifier (a Windows LANGID: 1033 English (US), 2052 Chinese (PRC)).
unsigned short GetSystemDefaultLanguage();

// Copies the current directory into szBuffer when it fits in nRequested characters including its
// terminating NUL, and returns its length. When it does not fit, szBuffer is left untouched and the
// size it would need (NUL included, so more than nRequested) is returned; 0 when it cannot be read.
unsigned CaptureWorkingDirectory(char* szBuffer, unsigned nRequested = 250);

// Ends the process through the run-time library's exit (static objects are destroyed).
[[noreturn]] void ExitProcessNow(int nStatus);
