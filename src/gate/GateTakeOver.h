#pragma once

#include "gate/GateFolder.h"
#include "gate/GateProcess.h"

#include <memory>

// Finds a gate of ours that this helper did not launch, to hold it as if it had: the one an
// earlier run recorded, or one serving the own port that no record names (the record could
// not be written, or the helper ended between a launch and its record).
class GateTakeOver {
public:
    explicit GateTakeOver(const GateFolder& folder)
        : m_folder(folder) {}

    // The recorded gate, when that process still runs, started when recorded, on our config.
    std::unique_ptr<GateProcess> recorded() const;
    // The gate of ours holding the listening socket. A socket once found to be none of ours is
    // not searched for again: the search reads every process's descriptors.
    std::unique_ptr<GateProcess> holding(quint64 socketInode);
    // The same for whatever of this user's listens where a connection to the port goes.
    std::unique_ptr<GateProcess> serving(quint16 port);

private:
    const GateFolder& m_folder;
    quint64 m_notOurs = 0;
};
