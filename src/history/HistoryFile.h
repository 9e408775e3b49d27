#pragma once

#include <QString>

class QSqlDatabase;
class QSqlError;

namespace creditgauge {

// The SQLite file a BalanceHistory lives in: opened on first use, checked, and laid out the
// first time. Only a file SQLite calls damaged is moved aside (with its journal) and a fresh
// one started. A file another writer holds just now is nothing to report; one that cannot be
// written (a full disk, another user's file, an I/O error) is left exactly as it is, and why
// is kept until a write succeeds.
class HistoryFile
{
public:
    static constexpr int schemaVersion = 1;

    explicit HistoryFile(const QString &path);
    ~HistoryFile();
    HistoryFile(const HistoryFile &) = delete;
    HistoryFile &operator=(const HistoryFile &) = delete;

    // Opens the file unless it is open; false when it cannot be used now.
    bool ensureOpen();
    // The open connection, after ensureOpen().
    QSqlDatabase database() const;
    // Whether the file has the column that tells credit from key limit.
    bool hasFigure() const { return m_hasFigure; }

    // What a failed statement means: a file found damaged only now is closed and moved aside,
    // and the next use starts afresh beside it; any failure but a busy file is the problem.
    void failed(const QSqlError &error);
    // A write went through: whatever was wrong is over.
    void written();
    // Why the last write failed, in German ("der Datenträger ist voll"); empty when it
    // succeeded or only had to wait for another writer.
    QString problem() const { return m_problem; }

private:
    bool open();
    void prepare(QSqlDatabase &db, QSqlError &failure, QString &damage, bool &newer);
    void close();
    void moveAside(const QString &reason);
    void noteFailure(const QSqlError &error);

    QString m_path;
    QString m_connection;
    bool m_opened = false;
    bool m_hasFigure = false;
    QString m_problem;
};

} // namespace creditgauge
