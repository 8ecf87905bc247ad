// A proxy that asks for a user name and password: a transfer answers it
// from what the user gave in this run (answerProxyFromMemory), and the user
// is asked between transfers (askProxySignIn, ProxyLoginDialog). What they
// give is kept in memory for this run only (proxySignIns), so that a Retry
// does not ask again unless the proxy refuses it. Nothing of it is written
// to disk, the registry or a log. The proxy itself stays the network
// library's default (the system's); single sign-on (NTLM or Negotiate with
// the logged-on user, on Windows) is tried by the library first, and the
// question comes only when that fails.
#pragma once

#include <QAccessible>
#include <QAuthenticator>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QHash>
#include <QLabel>
#include <QLineEdit>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QPushButton>
#include <QSet>
#include <QString>
#include <QVBoxLayout>
#include <QWidget>

#include <memory>

namespace {

// The reply's error text after the user declined to sign in, shown inside
// "Не удалось получить manifest: %1" or "Ошибка загрузки: %1".
const char *const proxyDeclinedText =
    "прокси-сервер требует имя пользователя и пароль. Нажмите «Повторить» и введите их: их "
    "сообщит администратор вашей сети.";

QString proxyName(const QNetworkProxy &proxy)
{
    return QStringLiteral("%1:%2").arg(proxy.hostName()).arg(proxy.port());
}

// The question: the proxy by name, the user name, the password masked.
class ProxyLoginDialog : public QDialog
{
public:
    ProxyLoginDialog(const QString &proxy, bool refused, const QString &user, QWidget *parent)
        : QDialog(parent)
    {
        setObjectName(QStringLiteral("proxyDialog"));
        setWindowTitle(QStringLiteral("Tambrix"));
        setModal(true);
        setStyleSheet(QStringLiteral(
            "QDialog#proxyDialog { background: #09091a; }"
            "QLabel { color: rgba(255,255,255,0.78); font-size: 12px; background: transparent; }"
            "QLineEdit { background: rgba(255,255,255,0.05); border: 1px solid "
            "rgba(139,92,246,0.22); border-radius: 8px; padding: 6px 8px; color: "
            "rgba(255,255,255,0.90); font-size: 12px; }"
            "QLineEdit:focus { border: 2px solid #c4b5fd; padding: 5px 7px; }"
            "QPushButton { background: rgba(255,255,255,0.06); color: rgba(255,255,255,0.85); "
            "border: 1px solid rgba(139,92,246,0.22); border-radius: 8px; padding: 7px 16px; "
            "font-size: 12px; }"
            "QPushButton:default { background: #8b5cf6; color: #ffffff; border: none; }"
            "QPushButton:disabled { background: rgba(139,92,246,0.25); color: "
            "rgba(255,255,255,0.40); }"
            "QPushButton:focus { border: 2px solid #ffffff; padding: 5px 14px; }"));

        message = new QLabel(
            refused ? QStringLiteral("Прокси-сервер %1 не принял имя пользователя и пароль. "
                                     "Проверьте их и введите ещё раз.")
                          .arg(proxy)
                    : QStringLiteral("Прокси-сервер %1 запрашивает имя пользователя и пароль "
                                     "для выхода в интернет.")
                          .arg(proxy),
            this);
        message->setWordWrap(true);
        userEdit = new QLineEdit(user, this);
        passwordEdit = new QLineEdit(this);
        passwordEdit->setEchoMode(QLineEdit::Password);
        // The labels name the fields for a screen reader (their buddies), and
        // what is asked is the fields' description, read as each is reached.
        auto *userLabel = new QLabel(QStringLiteral("&Имя пользователя:"), this);
        userLabel->setBuddy(userEdit);
        auto *passwordLabel = new QLabel(QStringLiteral("&Пароль:"), this);
        passwordLabel->setBuddy(passwordEdit);
        for (QLineEdit *edit : {userEdit, passwordEdit})
            edit->setAccessibleDescription(message->text());
        setAccessibleDescription(message->text());

        buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
        buttons->button(QDialogButtonBox::Ok)->setText(QStringLiteral("OK"));
        buttons->button(QDialogButtonBox::Cancel)->setText(QStringLiteral("Отмена"));
        connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
        connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
        // Without a user name there is nothing to send.
        const auto allowOk = [this] {
            buttons->button(QDialogButtonBox::Ok)->setEnabled(!userEdit->text().isEmpty());
        };
        connect(userEdit, &QLineEdit::textChanged, this, allowOk);
        allowOk();

        auto *fields = new QFormLayout;
        fields->addRow(userLabel, userEdit);
        fields->addRow(passwordLabel, passwordEdit);
        auto *layout = new QVBoxLayout(this);
        layout->setContentsMargins(18, 16, 18, 14);
        layout->setSpacing(10);
        layout->addWidget(message);
        layout->addLayout(fields);
        layout->addWidget(buttons);
        setMinimumWidth(380);
        // The first field to fill: the user name, or the password once the
        // name is known.
        (user.isEmpty() ? userEdit : passwordEdit)->setFocus();
    }

    QLabel *message;
    QLineEdit *userEdit;
    QLineEdit *passwordEdit;
    QDialogButtonBox *buttons;
};

// What the user gave, by proxy, for this run.
struct ProxySignIn
{
    QString user, password;
};

QHash<QString, ProxySignIn> &proxySignIns()
{
    static QHash<QString, ProxySignIn> given;
    return given;
}

// What a transfer's proxy asked that the answers of this run could not
// answer: the question goes to the user between transfers, never inside one.
// Asked inside the library's signal, a dialog stalls the transfer (seen: a
// proxy that closes the connection after its 407 was never asked again, and
// the transfer ran into its time limit) and lets the time limit of 15
// seconds run while the user types.
struct ProxyQuestion
{
    bool asked = false;
    bool refused = false; // the answer this transfer sent was turned down
    QString proxy;        // host:port
};

// Answers a transfer's proxy from what the user gave in this run, once per
// proxy: a second question from the same transfer's manager is the proxy's
// refusal. An unanswered question leaves the authenticator empty and ends
// the transfer, with `question` set.
void answerProxyFromMemory(QNetworkAccessManager &manager, ProxyQuestion &question)
{
    auto answered = std::make_shared<QSet<QString>>();
    QNetworkAccessManager *transfer = &manager;
    QObject::connect(
        &manager, &QNetworkAccessManager::proxyAuthenticationRequired, &manager,
        [&question, answered, transfer](const QNetworkProxy &proxy, QAuthenticator *authenticator) {
            const QString name = proxyName(proxy);
            const QHash<QString, ProxySignIn> &given = proxySignIns();
            if (!answered->contains(name) && given.contains(name)) {
                answered->insert(name);
                authenticator->setUser(given.value(name).user);
                authenticator->setPassword(given.value(name).password);
                return;
            }
            question = {true, answered->contains(name), name};
            *authenticator = QAuthenticator();
            // Left unanswered, the library asks again at once over plain
            // HTTP, without end (seen: thousands of requests a second): the
            // transfer ends here, once this question has returned.
            const QList<QNetworkReply *> replies = transfer->findChildren<QNetworkReply *>();
            for (QNetworkReply *reply : replies)
                QMetaObject::invokeMethod(reply, &QNetworkReply::abort, Qt::QueuedConnection);
        });
}

// Asks the user for the proxy's user name and password; what they give is
// kept for the rest of the run. False on «Отмена», with the error the
// transfer fails with: nothing is kept.
bool askProxySignIn(QWidget *window, const ProxyQuestion &question, QString &error)
{
    QHash<QString, ProxySignIn> &given = proxySignIns();
    const QString user = given.value(question.proxy).user;
    given.remove(question.proxy);
    ProxyLoginDialog dialog(question.proxy, question.refused, user, window);
    if (dialog.exec() != QDialog::Accepted) {
        error = QString::fromUtf8(proxyDeclinedText);
        return false;
    }
    given.insert(question.proxy, {dialog.userEdit->text(), dialog.passwordEdit->text()});
    return true;
}

} // namespace
