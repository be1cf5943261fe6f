#pragma once
// The port label's text while the card's modem driver lists it: the dialog's template shows it from
// the start, and discovery shows it again whenever it finds the modem port. A macro, so that the
// resource compiler reads the same text.
#define VOSTREL_MODEM_PORT_LABEL "Modem port:"
