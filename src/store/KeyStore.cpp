#include "KeyStore.h"

#include "Keychain.h"
#include "StoreChanges.h"
#include "core/Log.h"
#include "core/MainThread.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QHash>
#include <QList>
#include <QPointer>
#include <QStringDecoder>
#include <QTimer>

#if defined(Q_OS_UNIX) && !defined(Q_OS_DARWIN) && !defined(Q_OS_ANDROID)
#define CREDITGAUGE_SECRET_SERVICE 1
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#endif

#if defined(Q_OS_LINUX) && !defined(CREDITGAUGE_KEYCHAIN_HELPER)
#include <dlfcn.h>
#endif

namespace creditgauge::KeyStore {
namespace {

struct Waiter
{
    ReadCompletion completion;
    QPointer<QTimer> deadline;
};

// Reads still waiting for the store, by account, with everyone who asked meanwhile.
QHash<QString, QList<std::shared_ptr<Waiter>>> &pendingReads()
{
    static QHash<QString, QList<std::shared_ptr<Waiter>>> pending;
    return pending;
}

void deliver(const QList<std::shared_ptr<Waiter>> &waiters, const ReadResult &result)
{
    for (const std::shared_ptr<Waiter> &w : waiters)
        delete w->deadline.data();
    postToMainThread([waiters, result] {
        for (const std::shared_ptr<Waiter> &w : waiters)
            w->completion(result);
    });
}

void finishRead(const QString &account, const ReadResult &result)
{
    deliver(pendingReads().take(account), result);
}

#ifdef CREDITGAUGE_SECRET_SERVICE
// KWallet's daemon, the one of Plasma 6 or of Plasma 5, as the keychain library asks it.
std::pair<QString, QString> kwallet(const QDBusConnection &bus)
{
    const QString six = QStringLiteral("org.kde.kwalletd6");
    return bus.interface() && bus.interface()->isServiceRegistered(six)
        ? std::pair(six, QStringLiteral("/modules/kwalletd6"))
        : std::pair(QStringLiteral("org.kde.kwalletd5"), QStringLiteral("/modules/kwalletd5"));
}
#endif

// Whether the keychain library keeps the keys in KWallet here (in a Plasma session) and the
// wallet is not open: the read then waits for the user, in KWallet's first-run wizard or its
// password prompt, which is no fault of the store's.
void askWhetherWalletWaits(std::function<void(bool)> answer)
{
#ifdef CREDITGAUGE_SECRET_SERVICE
    if (!qEnvironmentVariable("XDG_CURRENT_DESKTOP").contains(u"KDE"))
        return answer(false);
    QDBusConnection bus = QDBusConnection::sessionBus();
    const auto [service, path] = kwallet(bus);
    const auto call = [bus, service, path](const char *method, const QVariantList &arguments) {
        QDBusMessage message = QDBusMessage::createMethodCall(
            service, path, QStringLiteral("org.kde.KWallet"), QLatin1String(method));
        message.setArguments(arguments);
        return new QDBusPendingCallWatcher(bus.asyncCall(message, 5000),
                                           QCoreApplication::instance());
    };
    QDBusPendingCallWatcher *name = call("networkWallet", {});
    QObject::connect(name, &QDBusPendingCallWatcher::finished, name, [=] {
        name->deleteLater();
        const QDBusPendingReply<QString> wallet = *name;
        if (wallet.isError())
            return answer(false);
        QDBusPendingCallWatcher *open = call("isOpen", {wallet.value()});
        QObject::connect(open, &QDBusPendingCallWatcher::finished, open, [open, answer] {
            open->deleteLater();
            const QDBusPendingReply<bool> isOpen = *open;
            answer(!isOpen.isError() && !isOpen.value());
        });
    });
#else
    answer(false);
#endif
}

// The keys read, by account. libsecret (0.20 as Debian 12 has it) leaks the reply of every
// lookup, about 1.4 kB, so a tray that asks every half hour for months would grow without
// end. A key is read again once the store says anything changed, after a save, a removal or a
// query that failed with it (forget()), and at the latest after six hours. That no key is
// stored is kept too where the store announces its changes: the providers without one are
// looked for at every refresh.
struct Remembered
{
    std::optional<QString> key;
    QElapsedTimer age;
};
constexpr qint64 rememberedForMs = 6 * 3600 * 1000;

// Saves and removals by account: how many began, how many are under way, and whether a read
// waits for them. The store may answer a read that overlaps one with the entry as it was, which
// must then be neither handed out nor kept: that read asks again once they are done.
struct Changes
{
    quint64 begun = 0;
    int underWay = 0;
    bool readWaits = false;
};
QHash<QString, Changes> &changes()
{
    static QHash<QString, Changes> accounts;
    return accounts;
}

QHash<QString, Remembered> &remembered()
{
    static QHash<QString, Remembered> keys;
    return keys;
}

// libsecret, through which the keychain library reaches the Secret Service, keeps one
// connection with an open session for the life of the process. When the keyring daemon
// restarts, that session is gone, and every later call fails ("The session does not exist")
// until the connection is dropped; the next call then opens a new one. Only where the
// keychain library has loaded libsecret into this process; a helper process starts afresh
// each time.
void forgetConnection()
{
#if defined(Q_OS_LINUX) && !defined(CREDITGAUGE_KEYCHAIN_HELPER)
    void *libsecret = ::dlopen("libsecret-1.so.0", RTLD_NOW | RTLD_NOLOAD);
    if (!libsecret)
        return;
    using Disconnect = void (*)();
    if (const auto disconnect
        = reinterpret_cast<Disconnect>(::dlsym(libsecret, "secret_service_disconnect"))) {
        qCDebug(log::store, "dropping the connection to the secret service");
        disconnect();
    }
    ::dlclose(libsecret);
#endif
}

StoreChanges *storeChanges()
{
    return StoreChanges::instance([](bool connectionToo) {
        if (!remembered().isEmpty())
            qCDebug(log::store) << "reading the keys anew: the store changed";
        remembered().clear();
        if (connectionToo)
            forgetConnection();
    });
}

std::optional<QString> strictUtf8(const QByteArray &bytes)
{
    if (bytes.isEmpty())
        return std::nullopt;
    // Keep a leading U+FEFF as part of the key rather than dropping it as a byte-order mark.
    QStringDecoder decoder(QStringConverter::Utf8,
                           QStringConverter::Flag::ConvertInitialBom
                               | QStringConverter::Flag::Stateless);
    QString text = decoder.decode(bytes);
    if (decoder.hasError() || text.isEmpty())
        return std::nullopt;
    return text;
}

// The Secret Service answers a lookup in a locked keyring whose unlock prompt was dismissed
// exactly as it answers for a missing entry. Asking it which items match, unlocked or locked,
// tells the two apart, so a user is never told they have no key when the keyring is locked.
void finishNotFound(const QString &account, quint64 changed)
{
#ifdef CREDITGAUGE_SECRET_SERVICE
    QDBusMessage search = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.secrets"), QStringLiteral("/org/freedesktop/secrets"),
        QStringLiteral("org.freedesktop.Secret.Service"), QStringLiteral("SearchItems"));
    const QMap<QString, QString> attributes {{QStringLiteral("server"), QLatin1String(service)},
                                             {QStringLiteral("user"), account}};
    static const QMetaType registered = qDBusRegisterMetaType<QMap<QString, QString>>();
    Q_UNUSED(registered);
    search << QVariant::fromValue(attributes);
    constexpr int timeoutMs = 5000;
    auto *watcher = new QDBusPendingCallWatcher(
        QDBusConnection::sessionBus().asyncCall(search, timeoutMs), QCoreApplication::instance());
    QObject::connect(
        watcher, &QDBusPendingCallWatcher::finished, watcher, [watcher, account, changed] {
            const QDBusPendingReply<QList<QDBusObjectPath>, QList<QDBusObjectPath>> reply
                = *watcher;
            watcher->deleteLater();
            const bool locked = !reply.isError() && reply.argumentAt<0>().isEmpty()
                && !reply.argumentAt<1>().isEmpty();
            qCDebug(log::store).noquote()
                << account << (locked ? "is in a locked keyring" : "is not stored");
            if (!locked && !reply.isError() && changes().value(account).begun == changed
                && storeChanges()) {
                remembered().insert(account, {std::nullopt, {}});
                remembered()[account].age.start();
            }
            finishRead(account,
                       locked ? ReadResult(std::unexpected(Failure::Locked))
                              : ReadResult(std::nullopt));
        });
#else
    Q_UNUSED(changed);
    finishRead(account, std::nullopt);
#endif
}

#ifdef CREDITGAUGE_KEYCHAIN_HELPER
constexpr bool helperProcess = true;
#else
constexpr bool helperProcess = false;
#endif

void startRead(const QString &account, bool again);

// Asks the store for the key once no save or removal of its entry is under way.
void readWhenSettled(const QString &account)
{
    if (Changes &c = changes()[account]; c.underWay)
        c.readWaits = true;
    else
        startRead(account, false);
}

void startRead(const QString &account, bool again)
{
    qCDebug(log::store).noquote() << "reading" << account;
    QElapsedTimer clock;
    clock.start();
    const quint64 changed = changes().value(account).begun;
    Keychain::read(account, [account, clock, again, changed](const Keychain::Answer &answer) {
        if (changes().value(account).begun != changed)
            return readWhenSettled(account);
        switch (answer.status) {
        case Keychain::Answer::Status::Done: {
            const std::optional<QString> key = strictUtf8(answer.data);
            qCDebug(log::store).noquote()
                << account << (key ? "found" : "found, but not usable text") << "after"
                << clock.elapsed() << "ms";
            if (key) {
                remembered().insert(account, {*key, {}});
                remembered()[account].age.start();
            }
            return finishRead(account, key);
        }
        case Keychain::Answer::Status::NotFound:
            qCDebug(log::store).noquote() << account << "not found after" << clock.elapsed()
                                          << "ms; asking whether it is locked";
            return finishNotFound(account, changed);
        case Keychain::Answer::Status::Denied:
        case Keychain::Answer::Status::Failed:
            qCDebug(log::store).noquote()
                << account << "unreadable after" << clock.elapsed() << "ms:" << answer.error;
            // A keyring that restarted answers on a new connection at once. A helper process
            // has a new connection each time, and asking again would only double the wait on a
            // keyring that stalls.
            if (!again && !helperProcess) {
                forgetConnection();
                return startRead(account, true);
            }
            return finishRead(account, std::unexpected(Failure::Unavailable));
        }
    });
}

// Writes `key`, or without one removes the entry.
void startChange(const std::optional<QString> &key, const QString &account,
                 SaveCompletion completion, bool again = false)
{
    Keychain::Completion answered = [key, account, completion = std::move(completion),
                                     again](const Keychain::Answer &answer) mutable {
        const bool ok = answer.status == Keychain::Answer::Status::Done;
        qCDebug(log::store).noquote()
            << account << (ok ? QString::fromLatin1(key ? "saved" : "removed") : answer.error);
        if (!ok && !again && !helperProcess && answer.status != Keychain::Answer::Status::Denied) {
            forgetConnection();
            return startChange(key, account, std::move(completion), true);
        }
        postToMainThread([completion, ok] { completion(ok); });
    };
    if (key)
        Keychain::write(account, *key, std::move(answered));
    else
        Keychain::remove(account, std::move(answered));
}

void change(const std::optional<QString> &key, const QString &account, SaveCompletion completion)
{
    remembered().remove(account);
    Changes &c = changes()[account];
    ++c.begun, ++c.underWay;
    startChange(key, account, [account, completion = std::move(completion)](bool ok) {
        Changes &c = changes()[account];
        if (--c.underWay == 0 && std::exchange(c.readWaits, false))
            startRead(account, false);
        completion(ok);
    });
}

} // namespace

QString message(Failure failure)
{
    switch (failure) {
    case Failure::Unavailable:
        return QStringLiteral("Der Schlüsselbund ist nicht erreichbar.");
    case Failure::Locked:
        return QStringLiteral("Der Schlüsselbund ist gesperrt.");
    case Failure::NoAnswer:
        return QStringLiteral("Der Schlüsselbund antwortet nicht.");
    case Failure::Waiting:
        return QStringLiteral("KWallet wartet darauf, eingerichtet oder entsperrt zu werden; "
                              "danach wird der Key gelesen.");
    }
    Q_UNREACHABLE();
    return {};
}

void read(const QString &account, ReadCompletion completion,
          std::optional<std::chrono::milliseconds> deadline)
{
    auto waiter = std::make_shared<Waiter>(Waiter {std::move(completion), nullptr});
    if (deadline) {
        auto *timer = new QTimer(QCoreApplication::instance());
        timer->setSingleShot(true);
        QObject::connect(timer, &QTimer::timeout, timer, [timer, account, waiter] {
            timer->deleteLater();
            waiter->deadline = nullptr;
            // The entry stays while the store works on, so later reads join the same job.
            askWhetherWalletWaits([account, waiter](bool waits) {
                auto &pending = pendingReads();
                qCDebug(log::store).noquote()
                    << account
                    << (waits ? "not answered in time: KWallet waits for its user"
                              : "the store has not answered in time");
                const Failure why = waits ? Failure::Waiting : Failure::NoAnswer;
                if (auto it = pending.find(account); it != pending.end() && it->removeOne(waiter))
                    deliver({waiter}, std::unexpected(why));
            });
        });
        timer->start(*deadline);
        waiter->deadline = timer;
    }

    auto &pending = pendingReads();
    if (auto it = pending.find(account); it != pending.end()) {
        it->append(waiter);
        return;
    }
    pending.insert(account, {waiter});
    storeChanges();
    if (const auto known = remembered().constFind(account);
        known != remembered().cend() && known->age.elapsed() < rememberedForMs)
        return finishRead(account, known->key);
    remembered().remove(account);
    readWhenSettled(account);
}

void forget(const QString &account)
{
    remembered().remove(account);
}

void save(const QString &key, const QString &account, SaveCompletion completion)
{
    change(key, account, std::move(completion));
}

void remove(const QString &account, SaveCompletion completion)
{
    change(std::nullopt, account, std::move(completion));
}

void watchService(QObject *context, std::function<void()> changed)
{
    if (StoreChanges *store = storeChanges())
        QObject::connect(store, &StoreChanges::announced, context, std::move(changed));
}

} // namespace creditgauge::KeyStore
