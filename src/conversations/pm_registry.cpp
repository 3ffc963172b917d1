#include "conversations/pm_registry.h"

#include "conversations/pm.h"
#include "core/client.h"
#include "core/conversations.h"
#include "layouts/placement.h"
#include "program.h"

PMRegistry::PMRegistry(Program &program) : m_program(program) {}

PMRegistry::~PMRegistry()
{
    for (const QPointer<PM> &window : m_slots)
        delete window.data();
}

int PMRegistry::NextPMSlot() const
{
    return m_program.core().conversations().NextPMSlot();
}

PM *PMRegistry::window(int slot) const
{
    // A window goes a moment after its close; from the close on, its slot is empty.
    return slot >= 0 && slot < int(m_slots.size()) && m_program.core().conversations().at(slot)
        ? m_slots[std::size_t(slot)].data()
        : nullptr;
}

PM *PMRegistry::open(int slot)
{
    auto *window = new PM(m_program, slot);
    placement::cascade(window, m_program.mess(),
                       int(std::count_if(m_slots.begin(), m_slots.end(),
                                         [](const QPointer<PM> &open) { return open; })));
    if (std::size_t(slot) >= m_slots.size())
        m_slots.resize(std::size_t(slot) + 1);
    m_slots[std::size_t(slot)] = window;
    return window;
}
