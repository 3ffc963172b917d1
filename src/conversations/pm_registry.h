#pragma once

#include <QPointer>

#include <vector>

class PM;
class Client;
class FileDesk;
class QWidget;

// The private-message windows, one per open conversation, in the conversation's slot.
class PMRegistry {
public:
    PMRegistry(Client &core, FileDesk &desk);
    ~PMRegistry();
    PMRegistry(const PMRegistry &) = delete;
    PMRegistry &operator=(const PMRegistry &) = delete;

    // The slot the next new conversation takes.
    int NextPMSlot() const;
    // The window in a slot, or nullptr for an empty or closed one.
    PM *window(int slot) const;
    // Makes the window of a new conversation, hidden, cascaded from the anchor window.
    PM *open(int slot, const QWidget *anchor);

private:
    Client &m_core;
    FileDesk &m_desk;
    std::vector<QPointer<PM>> m_slots;
};
