#pragma once

#include <QHash>
#include <QImage>
#include <QObject>
#include <QStringList>

#include <functional>

class Client;
class QUrl;
class QWidget;

// The windows' side of the files: what needs the desktop (its file dialog, opening a file or a
// folder), the pictures pasted, and the thumbnails, decoded once for every window that shows them.
class FileDesk : public QObject {
    Q_OBJECT

public:
    using Chooser = std::function<QStringList(QWidget *parent)>;
    using Opener = std::function<void(const QUrl &url)>;

    explicit FileDesk(Client &core, QObject *parent = nullptr);

    Client &core() const { return m_core; }
    // The desktop's dialog for choosing files and its way of opening a file or a folder; a
    // harness puts its own in their place.
    void setChooser(Chooser chooser) { m_choose = std::move(chooser); }
    void setOpener(Opener opener) { m_open = std::move(opener); }

    // The files chosen in the dialog, sent to that nickname.
    void chooseAndSend(QWidget *parent, const QString &peer);
    // A picture written as a PNG named by the time into the cache folder, and sent. Whether it
    // could be written.
    bool sendPicture(const QString &peer, const QImage &picture);
    // "Abrir": a saved file, with the desktop's program for it; one that would run something is
    // opened only if the user says so. Never called but by the user's hand.
    void open(QWidget *parent, const QString &path);
    // "Mostrar en la carpeta".
    void showFolder(const QString &path);
    // A thumbnail of the row's picture, decoded the first time; null when there is none.
    QImage thumbnail(const QString &id, const QString &path);

private:
    Client &m_core;
    Chooser m_choose;
    Opener m_open;
    QHash<QString, QImage> m_thumbnails;
};
