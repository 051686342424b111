#include "gate/GateTakeOver.h"

#include "gate/GateLog.h"
#include "platform/ListeningSockets.h"

#include <unistd.h>

std::unique_ptr<GateProcess> GateTakeOver::recorded() const {
    const auto record = m_folder.readRecord();
    if (!record || record->configPath != m_folder.configPath()) {
        return nullptr;
    }
    auto adopted = GateProcess::adopt(record->identity, record->configPath);
    if (adopted) {
        qCInfo(lcGate) << "took over the gate of an earlier run, pid" << adopted->pid();
    }
    return adopted;
}

std::unique_ptr<GateProcess> GateTakeOver::holding(quint64 socketInode) {
    if (socketInode == m_notOurs) {
        return nullptr;
    }
    for (const qint64 pid : ListeningSockets::holders(socketInode)) {
        if (auto adopted =
                GateProcess::adopt(GateProcess::identityOf(pid), m_folder.configPath())) {
            qCInfo(lcGate) << "took over the gate serving the port, pid" << pid;
            m_folder.writeRecord(adopted->identity());
            return adopted;
        }
    }
    m_notOurs = socketInode;
    return nullptr;
}

std::unique_ptr<GateProcess> GateTakeOver::serving(quint16 port) {
    const auto listener = ListeningSockets::loopbackListener(port);
    if (!listener || !*listener || (*listener)->uid != ::getuid()) {
        return nullptr;
    }
    return holding((*listener)->inode);
}
