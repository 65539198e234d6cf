#pragma once

#include "trace/trace_record.h"
#include "trace/trace_session.h"

#include <QAbstractTableModel>
#include <QTimer>
#include <QWidget>

#include <deque>
#include <vector>

class QLabel;
class QPushButton;
class QTableView;
class Terminal;

// The last kMaxRecords trace records, one a row: time, time since the one
// before, connection, direction, kind, bytes in hex, their printable
// characters, and the words. Warnings stand out in red.
class TraceRecordModel : public QAbstractTableModel {
    Q_OBJECT
public:
    static constexpr int kMaxRecords = 10000;
    enum Column { Time, Delta, Peer, Direction, Kind, Hex, Printable, Words, ColumnCount };

    explicit TraceRecordModel(QObject *parent = nullptr);

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

    // Appends a batch, dropping the oldest rows beyond kMaxRecords.
    void append(std::vector<TraceRecord> &batch);
    void clear();
    const std::deque<TraceRecord> &records() const { return m_records; }
    qint64 warningCount() const;

private:
    std::deque<TraceRecord> m_records;
};

// "Monitor da Comunicação": a live view of the terminal's trace. While the
// window is open a trace session runs on the terminal and its records reach
// the table in batches, ten times a second, so a flood of host data costs
// one view update per batch, not one per record. "Pausar" freezes the table
// (records go on being collected, the newest kMaxRecords of them, and appear
// on "Continuar"); "Limpar" empties it; "Salvar..." writes what it holds as
// text, or as JSON lines when the file name ends in ".jsonl". Closing the
// window ends the trace.
class TraceMonitor : public QWidget {
    Q_OBJECT
public:
    explicit TraceMonitor(Terminal &terminal, QWidget *parent = nullptr);
    ~TraceMonitor() override;

    void setPaused(bool paused);
    bool isPaused() const { return m_paused; }
    void clear();
    // False, with the reason in *error, when the file cannot be written.
    bool saveTo(const QString &path, QString *error) const;
    // Moves the collected records into the table now (the timer does it otherwise).
    void deliverPending();

    TraceRecordModel &model() { return m_model; }
    QTableView *table() const { return m_table; }
    QPushButton *pauseButton() const { return m_pause; }
    bool isTracing() const { return m_session.isRunning(); }

protected:
    void showEvent(QShowEvent *event) override;
    void closeEvent(QCloseEvent *event) override;

private:
    void saveClicked();
    void updateCount();

    Terminal &m_terminal;
    TraceSession m_session;
    TraceRecordModel m_model;
    std::vector<TraceRecord> m_pending;
    qint64 m_droppedWhilePaused = 0;
    QTimer m_batch;
    bool m_paused = false;

    QTableView *m_table;
    QPushButton *m_pause;
    QPushButton *m_clear;
    QPushButton *m_save;
    QLabel *m_count;
};
