#include "conversations/pm_registry.h"

#include "conversations/pm.h"
#include "layouts/placement.h"
#include "program.h"
#include "ui_pm.h"

PMRegistry::PMRegistry(Program &program) : m_program(program) {}

PMRegistry::~PMRegistry()
{
    for (const QPointer<PM> &window : m_slots)
        delete window.data();
}

PM *PMRegistry::window(int slot) const
{
    return slot >= 0 && slot < NextPMSlot() ? m_slots[std::size_t(slot)].data() : nullptr;
}

PM *PMRegistry::openNew()
{
    auto *window = new PM(m_program);
    placement::cascade(window, m_program.mess(), int(std::count_if(
                                                     m_slots.begin(), m_slots.end(),
                                                     [](const QPointer<PM> &open) { return open; })));
    const std::size_t slot = m_slots.size();
    m_slots.emplace_back(window);
    // The window is destroyed a moment after its close; from the close on, its slot is empty.
    QObject::connect(window, &PM::closedByUser, window, [this, slot] { m_slots[slot] = nullptr; });
    return window;
}

PM *PMRegistry::findByCaption(std::initializer_list<QString> captions) const
{
    for (const QPointer<PM> &window : m_slots) {
        if (!window)
            continue;
        for (const QString &caption : captions) {
            if (window->caption() == caption)
                return window;
        }
    }
    return nullptr;
}

PM *PMRegistry::findByCorrespondent(const QString &nickname) const
{
    for (const QPointer<PM> &window : m_slots) {
        if (window && window->ui->txtTo->text() == nickname)
            return window;
    }
    return nullptr;
}
