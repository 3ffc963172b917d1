#include "main_window/mess.h"

#include "core/availability.h"
#include "core/block_list.h"
#include "core/client.h"
#include "core/conversations.h"
#include "core/settings.h"
#include "core/user_list.h"
#include "file_windows/file_checks.h"
#include "layouts/panels.h"
#include "layouts/placement.h"
#include "layouts/plain_text.h"
#include "main_window/tray_icon.h"
#include "main_window/user_tree.h"
#include "protocol/wire.h"
#include "ui_mess.h"

#include <QActionGroup>
#include <QCloseEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QInputDialog>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>

Mess::Mess(Client &core)
    : m_ui(new Ui::Mess), m_core(core), m_trayIcon(nullptr), m_padlock(nullptr)
{
    m_ui->setupUi(this);
    placement::useLayoutFont(this);
    m_ui->SSTab1->placeControls();
    m_ui->lstUsers->setList(&m_core.users());

    auto *figure = new QLabel(m_ui->stat);
    figure->setPixmap(QIcon(QStringLiteral(":/pictures/figure.svg")).pixmap(19, 20));
    m_ui->stat->addWidget(figure);
    panels::setUp(m_ui->stat, {133});
    m_padlock = new QLabel(m_ui->stat);
    m_padlock->setPixmap(QIcon(QStringLiteral(":/pictures/padlock.svg")).pixmap(16, 16));
    m_padlock->setAccessibleName(QStringLiteral("Conexión cifrada"));
    m_padlock->hide();
    m_ui->stat->addPermanentWidget(m_padlock);
    m_clearText = panels::addClearTextSign(m_ui->stat);
    m_clearText->setVisible(m_core.isClearText());
    connect(&m_core, &Client::clearTextChanged, m_clearText, &QLabel::setVisible);
    m_ui->stat->setFixedHeight(25);
    setStatusLine(m_core.statusLine());

    // The state's box below the tabs makes the window taller by its height.
    const int stateBox = m_ui->cboState->height();
    m_ui->centralwidget->setFixedSize(225, 331 - 25 + stateBox);
    setFixedSize(225, 331 + stateBox + m_ui->menubar->sizeHint().height());
    placement::centre(this);

    connect(m_ui->mnuLogin, &QAction::triggered, this, [this] {
        // Logging in anew ends the retrying after a lost connection.
        if (m_core.stopRetrying())
            setSessionMenus(true, false);
        Q_EMIT loginWanted();
    });
    connect(m_ui->Command1, &QAbstractButton::clicked, this, [this] { m_core.refreshList(); });
    connect(m_ui->cmdChat, &QAbstractButton::clicked, this, &Mess::enterChat);
    connect(m_ui->cmdPm, &QAbstractButton::clicked, this, &Mess::privateMessage);
    connect(m_ui->cmdIggy, &QAbstractButton::clicked, this, &Mess::iggyClicked);
    connect(m_ui->lstUsers, &UserTree::nodeClicked, this, &Mess::treeClicked);
    connect(m_ui->lstUsers, &UserTree::nodeDoubleClicked, this, &Mess::privateMessage);
    connect(m_ui->mnuIggy, &QAction::triggered, this, &Mess::blockSelected);
    connect(m_ui->mnuUnIggy, &QAction::triggered, this, &Mess::emptyBlockList);
    connect(m_ui->mnuChat, &QAction::triggered, this, &Mess::chatCommand);
    connect(m_ui->mnuClose, &QAction::triggered, this, [this] { m_core.logOut(); });
    connect(m_ui->mnuExit, &QAction::triggered, this, [this] { Q_EMIT exitChosen(); });
    connect(m_ui->mnuNeedhelp, &QAction::triggered, this, &Mess::showHelp);
    connect(m_ui->mnuAbout, &QAction::triggered, this, &Mess::showAbout);
    connect(m_ui->mnuTransfers, &QAction::triggered, this, &Mess::transfersWanted);
    // Files dropped onto a user go to that user.
    m_ui->lstUsers->viewport()->setAcceptDrops(true);
    m_ui->lstUsers->viewport()->installEventFilter(this);

    // Ctrl+C is "Charlar"; in the block list it copies only while text is selected.
    m_ui->txtIggy->installEventFilter(this);
    // The box is the block list's view: what the user types goes to the list, and what changes
    // the list otherwise (blocking from the list of users, another client) shows in the box.
    setBlockList(m_core.blockList().text());
    connect(m_ui->txtIggy, &QPlainTextEdit::textChanged, this,
            [this] { m_core.blockList().setText(blockList()); });
    connect(&m_core.blockList(), &BlockList::changed, this, [this] {
        if (blockList() != m_core.blockList().text())
            setBlockList(m_core.blockList().text());
    });

    // A menu that opens is called what its item says.
    for (QMenu *menu : {m_ui->mnuFile, m_ui->mnuOptions, m_ui->mnuState, m_ui->mnuHelp})
        menu->setAccessibleName(menu->title().remove(QLatin1Char('&')));

    m_ui->mnuOptions->addSeparator();
    m_ui->mnuOptions->addAction(QStringLiteral("Usar mi apodo en otro equipo…"), this, [this] {
        if (requireConnection())
            Q_EMIT deskCodeWanted();
    });
    m_ui->mnuOptions->addAction(QStringLiteral("Equipos con mi apodo…"), this, [this] {
        if (requireConnection())
            Q_EMIT desksWanted();
    });
    m_ui->mnuOptions->addSeparator();
    QAction *search = m_ui->mnuOptions->addAction(QStringLiteral("Buscar en el historial…"), this,
                                                &Mess::searchWanted);
    search->setShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_F));
    QAction *keep = m_ui->mnuOptions->addAction(QStringLiteral("Guardar el historial"));
    keep->setCheckable(true);
    keep->setChecked(m_core.settings().keepsHistory());
    connect(keep, &QAction::toggled, this, [this](bool kept) { m_core.keepHistory(kept); });
    m_ui->mnuOptions->addAction(QStringLiteral("Días que se guarda el historial…"), this, [this] {
        bool chosen = false;
        const int days = QInputDialog::getInt(
            this, QStringLiteral("Historial"),
            QStringLiteral("Días que se guardan las conversaciones (0: siempre):"),
            m_core.settings().retentionDays(), 0, 36500, 1, &chosen);
        if (chosen)
            m_core.keepHistoryFor(days);
    });
    m_ui->mnuOptions->addAction(QStringLiteral("Retirar los permisos sin cifrar…"), this,
                              &Mess::forgetClearText);
    // Off unless chosen: reading is the user's own business.
    QAction *tellRead = m_ui->mnuOptions->addAction(QStringLiteral("Avisar cuando leo un mensaje"));
    tellRead->setCheckable(true);
    tellRead->setChecked(m_core.settings().tellsRead());
    connect(tellRead, &QAction::toggled, this,
            [this](bool told) { m_core.settings().setTellsRead(told); });
    addFileOptions();
    m_ui->mnuOptions->addSeparator();
    auto *notices = new QAction(QStringLiteral("Avisos de escritorio"), this);
    notices->setCheckable(true);
    notices->setChecked(m_core.settings().notifications());
    m_ui->mnuOptions->addAction(notices);
    connect(notices, &QAction::toggled, this, [this](bool shown) {
        m_core.settings().setNotifications(shown);
        Q_EMIT desktopNoticesChosen(shown);
    });

    setUpStates();
    // The icon's menu: the states, then "Archivo" as it stands when it opens.
    auto *trayMenu = new QMenu(this);
    connect(trayMenu, &QMenu::aboutToShow, this, [this, trayMenu] {
        trayMenu->clear();
        trayMenu->addActions({m_ui->mnuAvailable, m_ui->mnuAway, m_ui->mnuBusy});
        trayMenu->addSeparator();
        trayMenu->addActions(m_ui->mnuFile->actions());
    });
    m_trayIcon = new TrayIcon(this, trayMenu);
    m_trayIcon->add();
}

void Mess::setUpStates()
{
    Availability &own = m_core.availability();
    const QList<QAction *> chosen = {m_ui->mnuAvailable, m_ui->mnuAway, m_ui->mnuBusy};
    auto *group = new QActionGroup(this);
    for (int state = 0; state < int(chosen.size()); ++state) {
        group->addAction(chosen[state]);
        connect(chosen[state], &QAction::triggered, this, [this, state] {
            m_core.availability().choose(Availability::State(state), m_core.availability().text());
        });
    }
    connect(m_ui->cboState, &QComboBox::activated, this, [this](int state) {
        m_core.availability().choose(Availability::State(state), m_core.availability().text());
    });
    // Away by itself: the box says so in its tip.
    const auto follow = [this, chosen] {
        const Availability &own = m_core.availability();
        chosen[own.chosen()]->setChecked(true);
        m_ui->cboState->setCurrentIndex(own.chosen());
        m_ui->cboState->setToolTip(own.shown() != own.chosen()
                                     ? QStringLiteral("Ausente por inactividad")
                                     : QString());
    };
    connect(&own, &Availability::chosenChanged, this, follow);
    connect(&own, &Availability::shownChanged, this, follow);
    follow();

    connect(m_ui->mnuStateText, &QAction::triggered, this, [this] {
        QInputDialog dialog(this);
        dialog.setWindowTitle(QStringLiteral("Estado"));
        dialog.setLabelText(QStringLiteral("Texto del estado (lo ven los demás):"));
        dialog.setTextValue(m_core.availability().text());
        if (auto *box = dialog.findChild<QLineEdit *>())
            box->setMaxLength(wire::StateTextLength);
        if (dialog.exec() == QDialog::Accepted)
            m_core.availability().choose(m_core.availability().chosen(), dialog.textValue().trimmed());
    });
    connect(m_ui->mnuAwayAfter, &QAction::triggered, this, [this] {
        bool given = false;
        const int minutes = QInputDialog::getInt(
            this, QStringLiteral("Estado"),
            QStringLiteral("Minutos sin actividad tras los que apareces ausente (0: nunca):"),
            m_core.settings().awayAfterMinutes(), 0, 1440, 1, &given);
        if (given)
            m_core.settings().setAwayAfterMinutes(minutes);
    });
}

void Mess::addFileOptions()
{
    m_ui->mnuOptions->addAction(QStringLiteral("Carpeta para los archivos recibidos…"), this, [this] {
        const QString folder = QFileDialog::getExistingDirectory(
            this, QStringLiteral("Carpeta para los archivos recibidos"),
            m_core.settings().downloadFolder());
        if (!folder.isEmpty())
            m_core.settings().setDownloadFolder(folder);
    });
    m_ui->mnuOptions->addAction(QStringLiteral("Aceptar sin preguntar los archivos de…"), this, [this] {
        bool given = false;
        const QString text = QInputDialog::getText(
            this, QStringLiteral("Archivos"),
            QStringLiteral("Nicknames separados por comas; sus archivos se guardan en la carpeta "
                           "sin preguntar:"),
            QLineEdit::Normal, m_core.settings().autoAccepted().join(QStringLiteral(", ")), &given);
        if (!given)
            return;
        QStringList nicknames;
        for (const QString &nickname : text.split(u',', Qt::SkipEmptyParts)) {
            if (!nickname.trimmed().isEmpty())
                nicknames << nickname.trimmed();
        }
        m_core.settings().setAutoAccepted(nicknames);
    });
}

bool Mess::dragOverList(QEvent *event)
{
    auto *drop = static_cast<QDropEvent *>(event);
    const QStringList paths = files::localFiles(drop->mimeData());
    const QModelIndex node = m_ui->lstUsers->indexAt(drop->position().toPoint());
    UserList &users = m_core.users();
    const QString nickname = node.isValid() && !m_ui->lstUsers->isFirstNode(node)
            && !users.isMarked(node)
        ? users.nicknameOf(node)
        : QString();
    // Entering anywhere is taken, so that moves over the users follow.
    if (paths.isEmpty() || (event->type() != QEvent::DragEnter
                            && (nickname.isEmpty() || nickname == m_core.nickname()))) {
        drop->ignore();
        return !paths.isEmpty();
    }
    drop->acceptProposedAction();
    if (event->type() == QEvent::Drop)
        Q_EMIT filesDropped(nickname, paths);
    return true;
}

bool Mess::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_ui->lstUsers->viewport()
        && (event->type() == QEvent::DragEnter || event->type() == QEvent::DragMove
            || event->type() == QEvent::Drop))
        return dragOverList(event);
    if (watched == m_ui->txtIggy && event->type() == QEvent::ShortcutOverride
        && static_cast<QKeyEvent *>(event)->matches(QKeySequence::Copy)
        && !m_ui->txtIggy->textCursor().hasSelection())
        return true;
    return QMainWindow::eventFilter(watched, event);
}

Mess::~Mess()
{
    delete m_ui;
}

UserTree *Mess::userTree() const
{
    return m_ui->lstUsers;
}

void Mess::setStatusLine(const QString &text)
{
    panels::setText(m_ui->stat, 1, text);
    Q_EMIT statusLineChanged(text);
}

void Mess::setPadlock(const QString &fingerprint)
{
    const QString tip = QStringLiteral("Conexión cifrada (TLS). Huella SHA-256 del certificado "
                                       "del servidor:\n")
        + fingerprint;
    m_padlock->setToolTip(fingerprint.isEmpty() ? QString() : tip);
    m_padlock->setAccessibleDescription(fingerprint.isEmpty() ? QString() : tip);
    m_padlock->setVisible(!fingerprint.isEmpty());
}

QString Mess::statusLine() const
{
    return panels::text(m_ui->stat, 1);
}

void Mess::setCaption(const QString &caption)
{
    plain::setCaption(this, caption);
}

void Mess::setSessionMenus(bool logIn, bool logOut)
{
    m_ui->mnuLogin->setEnabled(logIn);
    m_ui->mnuClose->setEnabled(logOut);
}

QString Mess::blockList() const
{
    // The raw text: the plain-text view would turn a no-break space in a nickname into a blank.
    QString text = m_ui->txtIggy->document()->toRawText();
    text.replace(QChar::ParagraphSeparator, QStringLiteral("\r\n"));
    text.replace(QChar::LineSeparator, QStringLiteral("\r\n"));
    return text;
}

void Mess::setBlockList(const QString &text)
{
    m_ui->txtIggy->setPlainText(text);
}

bool Mess::isBlocked(const QString &nickname) const
{
    return m_core.blockList().contains(nickname);
}

bool Mess::requireConnection()
{
    if (m_core.isConnected())
        return true;
    m_core.SetStatus(QStringLiteral("No Conectado"));
    return false;
}

void Mess::enterChat()
{
    if (!requireConnection() || m_core.isRoomShown())
        return;
    chatCommand();
    m_core.enterRoom();
}

void Mess::chatCommand()
{
    if (requireConnection())
        Q_EMIT roomWanted();
}

void Mess::treeClicked()
{
    UserTree *tree = m_ui->lstUsers;
    UserList &users = m_core.users();
    const QModelIndex node = tree->selectedNode();
    if (!node.isValid())
        return;
    if (tree->isFirstNode(node)) {
        const QModelIndex shown = tree->model()->index(0, 0);
        const bool expand = !tree->isExpanded(shown);
        tree->setExpanded(shown, expand);
        users.setImage(node, expand ? UserList::ExpandedImage : UserList::CollapsedImage);
        return;
    }
    m_ui->cmdIggy->setText(users.isMarked(node) ? QStringLiteral("Un-Iggy")
                                              : QStringLiteral("Iggy"));
}

void Mess::privateMessage()
{
    Client &core = m_core;
    const QModelIndex node = m_ui->lstUsers->selectedNode();
    const QString nodeText = node.data().toString();
    const QString own = core.nickname();
    if (nodeText.isEmpty()) {
        core.SetStatus(QStringLiteral("Highlight User"));
        return;
    }
    if (nodeText == own) {
        core.showError(QStringLiteral("No te puedes mandar un mensaje privado a ti mismo."));
        return;
    }
    if (nodeText == QStringLiteral("Online - ") + own)
        return;
    if (core.users().isMarked(node)) {
        core.showError(QStringLiteral("No se pudo mandar mensaje a ")
                       + core.users().nicknameOf(node)
                       + QStringLiteral(" porque lo tienes ignorado"));
        return;
    }
    Conversations &conversations = core.conversations();
    // One the user opened is shown already; one a line opened is another window.
    if (conversations.findByCorrespondent(nodeText, Conversations::Origin::User) >= 0)
        return;
    conversations.show(conversations.open(nodeText, own, Conversations::Origin::User));
}

void Mess::iggyClicked()
{
    Client &core = m_core;
    const QString nodeText = m_ui->lstUsers->selectedText();
    if (nodeText == core.nickname()) {
        core.showError(QStringLiteral("No te puedes Ignorar tu mismo."));
        return;
    }
    const QString caption = m_ui->cmdIggy->text();
    if (caption == QLatin1String("Un-Iggy")) {
        if (const QModelIndex node = m_ui->lstUsers->selectedNode(); node.isValid()) {
            const QString nickname = core.users().nicknameOf(node);
            core.users().unmark(node);
            m_core.blockList().remove(nickname);
        }
        m_ui->cmdIggy->setText(QStringLiteral("Iggy"));
    } else if (caption == QLatin1String("Iggy")) {
        blockSelected();
        m_ui->cmdIggy->setText(QStringLiteral("Un-Iggy"));
    }
}

void Mess::blockSelected()
{
    Client &core = m_core;
    const QModelIndex node = m_ui->lstUsers->selectedNode();
    const QString nodeText = node.data().toString();
    if (nodeText.isEmpty()) {
        core.SetStatus(QStringLiteral("Highlight User"));
        return;
    }
    if (nodeText == core.nickname()) {
        core.showError(QStringLiteral("no te puedes autoignorar."));
        return;
    }
    m_core.blockList().add(nodeText);
    core.users().mark(node);
}

void Mess::emptyBlockList()
{
    m_core.blockList().clear();
}

void Mess::showHelp()
{
    Q_EMIT helpWanted();
}

void Mess::showAbout()
{
    Q_EMIT aboutWanted();
}

void Mess::closeEvent(QCloseEvent *event)
{
    event->ignore();
    hide();
}

void Mess::forgetClearText()
{
    Settings &settings = m_core.settings();
    const QStringList addresses = settings.clearTextAddresses();
    if (addresses.isEmpty()) {
        plain::showBox(this, QStringLiteral("Conexiones sin cifrar"),
                       QStringLiteral("No ha permitido conexiones sin cifrar con ningún servidor."),
                       QMessageBox::Information);
        return;
    }
    if (!plain::ask(this, QStringLiteral("Conexiones sin cifrar"),
                    QStringLiteral("Ha permitido conectar sin cifrar con:\n\n")
                        + addresses.join(u'\n')
                        + QStringLiteral("\n\n¿Retirar estos permisos? La próxima vez se "
                                         "volverá a preguntar."),
                    QStringLiteral("Retirar"), QStringLiteral("Cancelar")))
        return;
    for (const QString &address : addresses)
        settings.setClearTextAllowed(address, false);
}
