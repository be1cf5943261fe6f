#pragma once
// What a run leaves behind: the transcript's header and outcome lines, the report on standard
// output (plain lines or one JSON document), and the exit status when either could not be written.
#include <string>
#include <vector>

#include "cli/CliOptions.h"
#include "cli/Output.h"
#include "cli/Targets.h"
#include "cli/Transcript.h"

// A run that ended before any card ran: the command, the status and what stopped it.
CCliReport FailureReport(const CCliOptions& options, int nStatus, const std::string& strMessage);

// The header of the transcript: the program and platform, the command line, the target, the cards.
void WriteTranscriptHeader(CTranscript& transcript, const CCliOptions& options, const std::vector<CInventoryCard>& cards,
                           const std::vector<CTarget>& targets, const std::vector<std::string>& args);

// Ends the transcript: an outcome line per card, or the reason the run did not start; a transcript
// that lost lines turns a success into a failure, since its record is what the user keeps.
void FinishTranscript(CTranscript& transcript, const std::string& strPath, CCliReport& report);

// The report on standard output, written at once so that a failure to write it is caught with its
// cause: the errno of the failed write, or 0 when all went out. Messages and warnings go to
// standard error.
int PrintReport(const CCliOptions& options, const CCliReport& report);

// The exit status once standard output is closed: a report that could not be written whole (a full
// disk, a closed pipe) fails the run; an interruption (a signal) gives its own status.
int FinishStandardOutput(int nStatus, int nWriteError);
