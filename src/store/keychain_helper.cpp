// creditgauge-keychain: one request to the secret store, for KeyStore in the tray and text-bar
// processes, which so never load libsecret, GLib's object system, GIO and libgcrypt (some
// 4 MB resident, and three threads) to read a key every few hours.
//
//   creditgauge-keychain read ACCOUNT    the stored bytes on standard output
//   creditgauge-keychain write ACCOUNT   stores standard input (UTF-8) as text
//   creditgauge-keychain remove ACCOUNT  deletes the entry (one that is not there is done)
//
// The exit status is the answer (Keychain::Answer::Status); nothing else is said. The key
// passes through the pipes only, never a command line or a file.
#include "Keychain.h"

#include <QCoreApplication>
#include <QFile>
#include <QStringDecoder>

#include <cstdio>

#ifdef Q_OS_LINUX
#include <sys/prctl.h>
#endif

using creditgauge::Keychain::Answer;

int main(int argc, char *argv[])
{
#ifdef Q_OS_LINUX
    // It holds a key: no core dump, and no other process of the user may read its memory.
    prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
#endif
    QCoreApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    const bool reading = args.value(1) == u"read", removing = args.value(1) == u"remove";
    if (args.size() != 3 || (!reading && !removing && args.value(1) != u"write")) {
        std::fputs("usage: creditgauge-keychain read|write|remove ACCOUNT\n", stderr);
        return 64;
    }
    const QString account = args[2];

    Answer::Status status = Answer::Status::Failed;
    const auto done = [&status, reading](const Answer &answer) {
        status = answer.status;
        if (reading && answer.status == Answer::Status::Done) {
            QFile out;
            if (!out.open(stdout, QIODevice::WriteOnly)
                || out.write(answer.data) != answer.data.size() || !out.flush())
                status = Answer::Status::Failed;
        }
        // Queued: the answer may come before the event loop runs.
        QMetaObject::invokeMethod(QCoreApplication::instance(), &QCoreApplication::quit,
                                  Qt::QueuedConnection);
    };
    if (reading) {
        creditgauge::Keychain::read(account, done);
    } else if (removing) {
        creditgauge::Keychain::remove(account, done);
    } else {
        QFile in;
        const QByteArray bytes = in.open(stdin, QIODevice::ReadOnly) ? in.readAll() : QByteArray();
        // As it came: a leading U+FEFF is part of the key, not a byte-order mark.
        QStringDecoder decoder(QStringConverter::Utf8, QStringConverter::Flag::ConvertInitialBom);
        const QString text = decoder.decode(bytes);
        if (decoder.hasError())
            return int(Answer::Status::Failed);
        creditgauge::Keychain::write(account, text, done);
    }
    QCoreApplication::exec();
    return int(status);
}
