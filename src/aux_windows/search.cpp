#include "aux_windows/search.h"

#include "layouts/placement.h"
#include "layouts/plain_text.h"
#include "ui_search.h"

#include <QLocale>

namespace {

QString conversationName(const history::Conversation &conversation)
{
    switch (conversation.type) {
    case history::Conversation::Room:
        return QStringLiteral("Sala");
    case history::Conversation::Notices:
        return QStringLiteral("Avisos");
    case history::Conversation::Private:
        break;
    }
    return conversation.correspondent;
}

} // namespace

Search::Search(HistoryStore &store, std::optional<history::Conversation> within)
    : m_ui(new Ui::Search), m_store(store), m_within(std::move(within))
{
    m_ui->setupUi(this);
    placement::useLayoutFont(this);
    setAttribute(Qt::WA_DeleteOnClose);
    setFixedSize(size());
    if (m_within)
        plain::setCaption(this, QStringLiteral("Buscar en la conversación: ")
                                    + conversationName(*m_within));
    placement::centre(this);
    connect(m_ui->cmdSearch, &QPushButton::clicked, this, &Search::search);
    connect(m_ui->txtWords, &QLineEdit::returnPressed, this, &Search::search);
    connect(m_ui->lstResults, &QListWidget::itemActivated, this, [this](QListWidgetItem *item) {
        const int hit = m_ui->lstResults->row(item);
        if (hit < m_hits.size())
            Q_EMIT chosen(m_hits.at(hit));
    });
}

Search::~Search()
{
    delete m_ui;
}

void Search::search()
{
    m_hits = m_store.search(m_ui->txtWords->text(), m_within);
    m_ui->lstResults->clear();
    const QLocale locale;
    for (const history::Hit &hit : m_hits) {
        // One line each: where, when, who and what (list items are never markup).
        QString text = hit.line.text;
        text.replace(QLatin1Char('\n'), QLatin1Char(' ')).remove(QLatin1Char('\r'));
        const QString when = locale.toString(hit.line.at.toLocalTime(), QLocale::ShortFormat);
        const QString who = hit.line.writer.isEmpty() ? QString() : hit.line.writer + QStringLiteral(" : ");
        m_ui->lstResults->addItem((m_within ? QString() : conversationName(hit.conversation)
                                                            + QStringLiteral(" · "))
                                + when + QStringLiteral("  ") + who + text);
    }
    if (m_hits.isEmpty())
        m_ui->lstResults->addItem(QStringLiteral("No se ha encontrado nada."));
    else
        m_ui->lstResults->setCurrentRow(0);
}
