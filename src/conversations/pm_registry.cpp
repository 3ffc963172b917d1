#include "conversations/pm_registry.h"

#include "conversations/pm.h"
#include "core/client.h"
#include "core/conversations.h"
#include "layouts/placement.h"

PMRegistry::PMRegistry(Client &core, FileDesk &desk) : m_core(core), m_desk(desk) {}

PMRegistry::~PMRegistry()
{
    for (const QPointer<PM> &window : m_slots)
        delete window.data();
}

int PMRegistry::NextPMSlot() const
{
    return m_core.conversations().NextPMSlot();
}

PM *PMRegistry::window(int slot) const
{
    // A window goes a moment after its close; from the close on, its slot is empty.
    return slot >= 0 && slot < int(m_slots.size()) && m_core.conversations().at(slot)
        ? m_slots[std::size_t(slot)].data()
        : nullptr;
}

PM *PMRegistry::open(int slot, const QWidget *anchor)
{
    auto *window = new PM(m_core, m_desk, slot);
    placement::cascade(window, anchor,
                       int(std::count_if(m_slots.begin(), m_slots.end(),
                                         [](const QPointer<PM> &open) { return open; })));
    if (std::size_t(slot) >= m_slots.size())
        m_slots.resize(std::size_t(slot) + 1);
    m_slots[std::size_t(slot)] = window;
    return window;
}
