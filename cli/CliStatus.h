#pragma once
// vostrel-cli's exit statuses. With --all the program exits with the highest status of its cards.
enum ECliStatus : int {
    kCliOk = 0,           // the command did what it says
    kCliRejected = 1,     // the card rejected a command, or did not answer the first
    kCliUsage = 2,        // bad options
    kCliNoCard = 3,       // no card found, or none by the name given
    kCliPortFailed = 4,   // the port could not be opened or used (or the window holds the card)
    kCliSilent = 5,       // the card is silent
};
