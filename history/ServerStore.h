#pragma once
// The history on a PostgreSQL server that a fleet of benches shares. Records are written by their
// record_id, so that one sent again (after a lost answer, from another outbox) is kept once. The
// Windows build has no libpq (Debian has no mingw OpenSSL for its TLS): there `history export`
// carries the records to a host that reaches the server.
#include <memory>
#include <string>

#include "history/HistoryStore.h"

// Connects to the server that strAddress names (postgresql://...): nullptr and what is wrong when
// it cannot be reached within nTimeoutS (unless the address sets connect_timeout itself). A
// password belongs in libpq's password file (~/.pgpass) or PGPASSWORD; one written in the address
// works, and is never shown.
std::unique_ptr<IHistoryStore> ConnectServerStore(const std::string& strAddress, std::string& strError, int nTimeoutS = 5);

// The address as messages show it: "postgresql://bench@db.example:5432/vostrel", never a password.
std::string ServerAddressShown(const std::string& strAddress);
