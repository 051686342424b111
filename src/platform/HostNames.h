#pragma once

#include <QByteArray>
#include <QString>

// The name this computer goes by.
namespace HostNames {

// The "pretty" name the user gave the computer (PRETTY_HOSTNAME of /etc/machine-info) when
// set, else the network host name.
QString computerName();

// PRETTY_HOSTNAME from the contents of a machine-info file; empty when it has none.
QString prettyHostName(const QByteArray& machineInfo);

} // namespace HostNames
