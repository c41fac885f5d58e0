// The address page: the small HTML page through which an installation whose address changes
// tells its senders where it listens. Built here for posting, read here after a lookup.
#pragma once

#include "dynaddr/AddressLookup.h"

#include <QByteArray>
#include <optional>

// The open page ("GO") with the address, date, time and port; the closed page ("CLOSE"); any
// other mode gives an empty text (nothing is sent). Every line ends with a single CR.
QByteArray BuildAddressPage(const QByteArray &pageMode, const QByteArray &ip, const QByteArray &date,
                            const QByteArray &time, int listenPort);

// Reads the address and port from a fetched page; none for a closed page, a page without both,
// a port of 0 or one above 65535.
std::optional<PeerAddress> ParseAddressPage(const QByteArray &page);
