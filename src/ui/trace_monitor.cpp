#include "ui/trace_monitor.h"

#include "engine/prompts.h"
#include "terminal/terminal.h"
#include "trace/byte_words.h"
#include "trace/trace_format.h"

#include <QCloseEvent>
#include <QDateTime>
#include <QDir>
#include <QFileDialog>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QSaveFile>
#include <QScrollBar>
#include <QTableView>
#include <QVBoxLayout>

namespace {

const QString kCaption = QStringLiteral("Monitor da Comunicação");
constexpr int kBatchMs = 100;
constexpr int kHexShown = 24;

QString timeText(qint64 timeUs)
{
    const QDateTime at = QDateTime::fromMSecsSinceEpoch(timeUs / 1000);
    return at.toString(QStringLiteral("HH:mm:ss.zzz")) +
           QStringLiteral("%1").arg(timeUs % 1000, 3, 10, QLatin1Char('0'));
}

QString deltaText(qint64 deltaUs)
{
    return QStringLiteral("+%1.%2").arg(deltaUs / 1000000).arg(deltaUs % 1000000, 6, 10, QLatin1Char('0'));
}

} // namespace

// ---- Model ----

TraceRecordModel::TraceRecordModel(QObject *parent) : QAbstractTableModel(parent) {}

int TraceRecordModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(m_records.size());
}

int TraceRecordModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant TraceRecordModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return {};
    switch (section) {
    case Time: return QStringLiteral("Hora");
    case Delta: return QStringLiteral("Intervalo");
    case Peer: return QStringLiteral("Conexão");
    case Direction: return QStringLiteral("");
    case Kind: return QStringLiteral("Tipo");
    case Hex: return QStringLiteral("Bytes");
    case Printable: return QStringLiteral("Texto");
    case Words: return QStringLiteral("Significado");
    default: return {};
    }
}

QVariant TraceRecordModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= int(m_records.size()))
        return {};
    const TraceRecord &r = m_records[std::size_t(index.row())];
    if (role == Qt::DisplayRole) {
        switch (index.column()) {
        case Time: return timeText(r.timeUs);
        case Delta: return deltaText(r.deltaUs);
        case Peer: return r.peer;
        case Direction:
            return r.direction == TraceRecord::Direction::FromHost ? QStringLiteral("<-")
                   : r.direction == TraceRecord::Direction::ToHost ? QStringLiteral("->")
                                                                  : QStringLiteral("--");
        case Kind: return QString::fromLatin1(kindName(r.kind));
        case Hex: return bytewords::hex(r.bytes, kHexShown);
        case Printable: return QString::fromLatin1(bytewords::printable(r.bytes, kHexShown));
        case Words:
            return r.warning.isEmpty() ? r.text : QStringLiteral("!! %1: %2").arg(r.warning, r.text);
        default: return {};
        }
    }
    if (role == Qt::ToolTipRole && (index.column() == Hex || index.column() == Words))
        return index.column() == Hex ? bytewords::hex(r.bytes, 512) : r.text;
    if (role == Qt::BackgroundRole && !r.warning.isEmpty())
        return QColor(0xFF, 0xD8, 0xD8);
    if (role == Qt::ForegroundRole) {
        if (r.direction == TraceRecord::Direction::ToHost)
            return QColor(0x00, 0x40, 0xA0);
        if (r.direction == TraceRecord::Direction::Local)
            return QColor(0x50, 0x50, 0x50);
    }
    return {};
}

void TraceRecordModel::append(std::vector<TraceRecord> &batch)
{
    if (batch.empty())
        return;
    // A batch larger than the table keeps only its newest records.
    auto first = batch.begin();
    if (batch.size() > std::size_t(kMaxRecords))
        first = batch.end() - kMaxRecords;
    const int incoming = int(batch.end() - first);
    const int overflow = int(m_records.size()) + incoming - kMaxRecords;
    if (overflow > 0) {
        beginRemoveRows(QModelIndex(), 0, overflow - 1);
        m_records.erase(m_records.begin(), m_records.begin() + overflow);
        endRemoveRows();
    }
    const int at = int(m_records.size());
    beginInsertRows(QModelIndex(), at, at + incoming - 1);
    for (auto it = first; it != batch.end(); ++it)
        m_records.push_back(std::move(*it));
    endInsertRows();
    batch.clear();
}

void TraceRecordModel::clear()
{
    beginResetModel();
    m_records.clear();
    endResetModel();
}

qint64 TraceRecordModel::warningCount() const
{
    qint64 count = 0;
    for (const TraceRecord &r : m_records)
        if (!r.warning.isEmpty())
            count += r.repeated > 0 ? r.repeated : 1;
    return count;
}

// ---- Window ----

TraceMonitor::TraceMonitor(Terminal &terminal, QWidget *parent)
    : QWidget(parent, Qt::Window), m_terminal(terminal), m_session(terminal)
{
    setObjectName(QStringLiteral("TraceMonitor"));
    setWindowTitle(kCaption);
    resize(1000, 420);

    m_pause = new QPushButton(QStringLiteral("Pausar"), this);
    m_pause->setObjectName(QStringLiteral("btPausar"));
    m_clear = new QPushButton(QStringLiteral("Limpar"), this);
    m_clear->setObjectName(QStringLiteral("btLimpar"));
    m_save = new QPushButton(QStringLiteral("Salvar..."), this);
    m_save->setObjectName(QStringLiteral("btSalvar"));
    m_count = new QLabel(this);
    m_count->setObjectName(QStringLiteral("lbContagem"));

    m_table = new QTableView(this);
    m_table->setObjectName(QStringLiteral("tvRegistros"));
    m_table->setModel(&m_model);
    m_table->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    m_table->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_table->setWordWrap(false);
    m_table->verticalHeader()->setVisible(false);
    m_table->verticalHeader()->setDefaultSectionSize(m_table->fontMetrics().height() + 4);
    m_table->horizontalHeader()->setStretchLastSection(true);
    const QFontMetrics metrics = m_table->fontMetrics();
    m_table->setColumnWidth(TraceRecordModel::Time, metrics.horizontalAdvance(QStringLiteral("00:00:00.000000")) + 12);
    m_table->setColumnWidth(TraceRecordModel::Delta, metrics.horizontalAdvance(QStringLiteral("+0.000000")) + 12);
    m_table->setColumnWidth(TraceRecordModel::Peer, metrics.horizontalAdvance(QStringLiteral("127.0.0.1:65535")) + 12);
    m_table->setColumnWidth(TraceRecordModel::Direction, metrics.horizontalAdvance(QStringLiteral("<-")) + 12);
    m_table->setColumnWidth(TraceRecordModel::Kind, metrics.horizontalAdvance(QStringLiteral("comutadora")) + 12);
    m_table->setColumnWidth(TraceRecordModel::Hex, metrics.horizontalAdvance(QStringLiteral("00 00 00 00 00 00 00 00")) + 12);
    m_table->setColumnWidth(TraceRecordModel::Printable, metrics.horizontalAdvance(QStringLiteral("........")) + 12);

    auto *buttons = new QHBoxLayout;
    buttons->addWidget(m_pause);
    buttons->addWidget(m_clear);
    buttons->addWidget(m_save);
    buttons->addStretch();
    buttons->addWidget(m_count);
    auto *layout = new QVBoxLayout(this);
    layout->addLayout(buttons);
    layout->addWidget(m_table);

    connect(m_pause, &QPushButton::clicked, this, [this] { setPaused(!m_paused); });
    connect(m_clear, &QPushButton::clicked, this, &TraceMonitor::clear);
    connect(m_save, &QPushButton::clicked, this, &TraceMonitor::saveClicked);

    m_session.setListener([this](const TraceRecord &record) {
        // Bounded while paused too: only the newest records wait for the table.
        if (m_pending.size() >= std::size_t(TraceRecordModel::kMaxRecords)) {
            m_pending.erase(m_pending.begin(), m_pending.begin() + TraceRecordModel::kMaxRecords / 10);
            m_droppedWhilePaused += TraceRecordModel::kMaxRecords / 10;
        }
        m_pending.push_back(record);
    });
    m_batch.setInterval(kBatchMs);
    connect(&m_batch, &QTimer::timeout, this, [this] {
        if (!m_paused)
            deliverPending();
    });
    updateCount();
}

TraceMonitor::~TraceMonitor()
{
    m_session.stop();
}

void TraceMonitor::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    if (!m_session.isRunning()) {
        QString error;
        m_session.start(QString(), traceformat::Format::Text, &error);
    }
    m_batch.start();
}

void TraceMonitor::closeEvent(QCloseEvent *event)
{
    m_batch.stop();
    m_session.stop();
    deliverPending();
    QWidget::closeEvent(event);
}

void TraceMonitor::deliverPending()
{
    if (m_pending.empty())
        return;
    QScrollBar *bar = m_table->verticalScrollBar();
    const bool atBottom = bar->value() >= bar->maximum() - 2;
    m_model.append(m_pending);
    m_droppedWhilePaused = 0;
    if (atBottom)
        m_table->scrollToBottom();
    updateCount();
}

void TraceMonitor::setPaused(bool paused)
{
    m_paused = paused;
    m_pause->setText(paused ? QStringLiteral("Continuar") : QStringLiteral("Pausar"));
    if (!paused)
        deliverPending();
    updateCount();
}

void TraceMonitor::clear()
{
    m_model.clear();
    m_pending.clear();
    m_droppedWhilePaused = 0;
    updateCount();
}

void TraceMonitor::updateCount()
{
    QString text = QStringLiteral("%1 registros, %2 avisos").arg(m_model.rowCount()).arg(m_model.warningCount());
    if (m_paused)
        text += QStringLiteral(" — pausado, %1 novos aguardando").arg(qint64(m_pending.size()) + m_droppedWhilePaused);
    m_count->setText(text);
}

bool TraceMonitor::saveTo(const QString &path, QString *error) const
{
    const traceformat::Format format = path.endsWith(QLatin1String(".jsonl"), Qt::CaseInsensitive)
                                           ? traceformat::Format::JsonLines
                                           : traceformat::Format::Text;
    QByteArray out = traceformat::header(format, m_terminal.workingFolder());
    TraceSummary summary;
    for (const TraceRecord &r : m_model.records()) {
        traceformat::append(out, r, format);
        summary.count(r);
    }
    out += traceformat::summary(summary, format);
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(out) != out.size() || !file.commit()) {
        if (error)
            *error = file.errorString();
        return false;
    }
    return true;
}

void TraceMonitor::saveClicked()
{
    const QString path = QFileDialog::getSaveFileName(
        this, QStringLiteral("Salvar registros"), QDir(m_terminal.workingFolder()).filePath(QStringLiteral("rastreamento.txt")),
        QStringLiteral("Texto (*.txt);;JSON lines (*.jsonl)"));
    if (path.isEmpty())
        return;
    QString error;
    if (!saveTo(path, &error))
        m_terminal.prompts().showMessage(kApplicationTitle,
                                         QStringLiteral("Não foi possível salvar \"%1\": %2")
                                             .arg(QDir::toNativeSeparators(path), error),
                                         Prompts::Icon::Error);
}
