#include "gate/NodeChoice.h"

#include <utility>

NodeChoice::NodeChoice(Places places)
    : m_places(std::move(places)) {
    connect(&m_versions, &NodeVersions::read, this, &NodeChoice::versionRead);
}

bool NodeChoice::choose(const QString& engines) {
    const auto before = m_choice.runtime;
    m_choice = NodeRuntime::choose(
        m_places.resourceFolder,
        NodeRuntime::candidates(m_places.systemCandidates, m_places.homeFolder, m_places.nvmDir),
        engines, [this](const QString& node) { return m_versions.of(node); });
    return m_choice.runtime != before;
}
