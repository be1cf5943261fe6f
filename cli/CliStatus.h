#pragma once
// vostrel-cli's exit statuses. With --all the program exits with the highest status of its cards.
enum ECliStatus : int {
    kCliOk = 0,             // the command did what it says
    kCliRejected = 1,       // the card rejected a command, did not answer the first, or sent no answer line
    kCliUsage = 2,          // bad options
    kCliNoCard = 3,         // no card found, or none by the name given
    kCliPortFailed = 4,     // a port, the transcript or standard output could not be used, another program has the card's port open, or the window holds the card
    kCliSilent = 5,         // the port opened and nothing answered
    kCliNotConfirmed = 6,   // --wait: the card did not leave or come back as the switch requires
    kCliSharedPort = 7,     // another program opened the card's port while the commands ran: nothing it answered counts
    kCliInterrupted = 130,  // stopped by Ctrl-C (SIGINT); any other signal that ends the program: 128 + its number
    kCliTerminated = 143,   // stopped by SIGTERM (Ctrl-Break on Windows)
};

// A status as the history's outcome names it: "ok", "rejected", ..., "interrupted" for any signal.
inline const char* CliStatusName(int nStatus)
{
    switch (nStatus) {
    case kCliOk: return "ok";
    case kCliRejected: return "rejected";
    case kCliUsage: return "usage";
    case kCliNoCard: return "no-card";
    case kCliPortFailed: return "port-failed";
    case kCliSilent: return "silent";
    case kCliNotConfirmed: return "not-confirmed";
    default: return nStatus > 128 ? "interrupted" : "failed";
    }
}
