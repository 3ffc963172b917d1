#pragma once

#include <QPointer>
#include <QString>

#include <vector>

class PM;
class Program;

// The private-message windows, each in a slot of its own. Slots are handed out in order and
// never twice; the registry grows as needed, so no conversation is ever lost for lack of one.
// A slot whose window the user closed holds nothing and matches no lookup.
class PMRegistry {
public:
    explicit PMRegistry(Program &program);
    ~PMRegistry();
    PMRegistry(const PMRegistry &) = delete;
    PMRegistry &operator=(const PMRegistry &) = delete;

    // The slot the next new window takes.
    int NextPMSlot() const { return int(m_slots.size()); }
    // The window in a slot, or nullptr for an empty or closed one.
    PM *window(int slot) const;
    // A new window, hidden, in the next slot.
    PM *openNew();

    // The first window, in slot order, whose caption is one of these.
    PM *findByCaption(std::initializer_list<QString> captions) const;
    // The first window, in slot order, whose correspondent box holds this nickname.
    PM *findByCorrespondent(const QString &nickname) const;

private:
    Program &m_program;
    std::vector<QPointer<PM>> m_slots;
};
