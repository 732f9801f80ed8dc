#pragma once

#include "support/processes.h"

#include <QRegularExpression>
#include <QStringList>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>

#include <unistd.h>

namespace relay::testing {

struct BrokerOptions {
    bool password = false;
    bool tls = false;
    // TLS: the server certificate names another host, so verification must fail.
    bool tls_wrong_name = false;
};

// A real mosquitto on a loopback port of its own, with its own config,
// certificates and password file in a temporary directory.
class MosquittoBroker {
public:
    static constexpr const char* User = "relay";
    static constexpr const char* Password = "s3cret-pass";

    ~MosquittoBroker() { stop(); }

    bool start(BrokerOptions options = {}) {
        m_options = options;
        m_port = free_port();
        return m_port > 0 && write_files() && launch();
    }
    void stop() { m_process.stop(); }
    // Same port and configuration, as after a broker restart.
    bool restart() {
        stop();
        return launch();
    }

    int port() const { return m_port; }
    QString url() const { return QStringLiteral("mqtt://127.0.0.1:%1").arg(m_port); }
    QString dir() const { return m_dir.path(); }
    QString ca_file() const { return m_dir.filePath("ca.crt"); }
    QString wrong_ca_file() const { return m_dir.filePath("other-ca.crt"); }

    // Arguments for mosquitto_pub and mosquitto_sub to reach this broker.
    QStringList client_args() const {
        QStringList args{"-h", "127.0.0.1", "-p", QString::number(m_port)};
        if (m_options.password) {
            args << "-u" << User << "-P" << Password;
        }
        if (m_options.tls) {
            args << "--cafile" << ca_file();
        }
        return args;
    }
    bool publish(const QString& topic, const QByteArray& payload, bool retain) const {
        const QStringList args =
            client_args() + QStringList{"-q", "1", "-t", topic, "-m", QString::fromUtf8(payload)};
        return QProcess::execute("mosquitto_pub", retain ? args + QStringList{"-r"} : args) == 0;
    }

private:
    bool run(const QString& program, const QStringList& args) {
        QProcess p;
        p.setWorkingDirectory(m_dir.path());
        p.start(program, args);
        const bool ok = p.waitForFinished(30000) && p.exitCode() == 0;
        if (!ok) {
            qWarning() << program << args << p.readAllStandardError();
        }
        return ok;
    }
    bool write(const QString& name, const QByteArray& text) {
        return write_file(m_dir.filePath(name), text);
    }
    // Fresh keys on every run: a CA, a server certificate it signs, an unrelated CA.
    bool make_certificates() {
        const QString key = "-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 ";
        const QByteArray names =
            m_options.tls_wrong_name ? "DNS:elsewhere.invalid" : "IP:127.0.0.1,DNS:localhost";
        const QStringList steps{
            "req -x509 " + key + "-keyout ca.key -out ca.crt -subj /CN=relay-test-ca",
            "req -x509 " + key + "-keyout other-ca.key -out other-ca.crt -subj /CN=other-ca",
            "req " + key + "-keyout server.key -out server.csr -subj /CN=broker",
            "x509 -req -in server.csr -CA ca.crt -CAkey ca.key -CAcreateserial -days 2 "
            "-out server.crt -extfile server.ext"};
        bool ok = write("server.ext", "subjectAltName=" + names + "\n");
        for (const QString& step : steps) {
            ok = ok && run("openssl", step.split(' '));
        }
        return ok;
    }
    bool write_files() {
        QByteArray conf = "listener " + QByteArray::number(m_port) + " 127.0.0.1\n";
        conf += "persistence false\n";
        if (::geteuid() == 0) {
            conf += "user root\n";  // otherwise it drops to a user that cannot read dir()
        }
        if (m_options.password) {
            conf +=
                "allow_anonymous false\npassword_file " + m_dir.filePath("passwd").toUtf8() + "\n";
            if (!run("mosquitto_passwd", {"-b", "-c", "passwd", User, Password})) {
                return false;
            }
        } else {
            conf += "allow_anonymous true\n";
        }
        if (m_options.tls) {
            if (!make_certificates()) {
                return false;
            }
            conf += "cafile " + ca_file().toUtf8() + "\ncertfile " +
                    m_dir.filePath("server.crt").toUtf8() + "\nkeyfile " +
                    m_dir.filePath("server.key").toUtf8() + "\n";
        }
        return write("mosquitto.conf", conf);
    }
    bool launch() {
        const bool up =
            m_process.start("/usr/sbin/mosquitto", {"-c", m_dir.filePath("mosquitto.conf")}) &&
            QTest::qWaitFor([this] { return !m_process.running() || listening(m_port); }, 10000) &&
            m_process.running();
        if (!up) {
            qWarning() << "mosquitto did not start:" << m_process.output();
        }
        return up;
    }

    BrokerOptions m_options;
    QTemporaryDir m_dir;
    Process m_process;
    int m_port = 0;
};

// mosquitto_sub on a pattern: every message as "retained-flag topic payload".
class TopicRecorder {
public:
    TopicRecorder(const MosquittoBroker& broker, const QString& pattern) {
        // Line-buffered: its debug lines tell when the subscription stands.
        const QStringList args{"-oL", "mosquitto_sub", "-d", "-q",   "1",
                               "-F",  "MSG %r %t %p",  "-t", pattern};
        m_process.start("stdbuf", args + broker.client_args());
    }
    // True once the broker has acknowledged the subscription.
    bool subscribed(int ms = 10000) {
        return QTest::qWaitFor([this] { return messages(), m_subscribed; }, ms);
    }
    // pred(line) on each "retained-flag topic payload" line, or a regular expression.
    template <typename Pred>
    bool wait_for(Pred pred, int ms = 10000) {
        return QTest::qWaitFor(
            [&] {
                const QStringList lines = messages();
                return std::any_of(lines.begin(), lines.end(), pred);
            },
            ms);
    }
    bool wait_for(const char* pattern, int ms = 10000) {
        const QRegularExpression re(QString::fromUtf8(pattern));
        return wait_for([&](const QString& line) { return re.match(line).hasMatch(); }, ms);
    }
    // The messages received so far, complete lines only.
    QStringList messages() {
        m_pending += m_process.process().readAll();
        for (qsizetype end = m_pending.indexOf('\n'); end >= 0; end = m_pending.indexOf('\n')) {
            const QByteArray line = m_pending.left(end);
            m_pending.remove(0, end + 1);
            if (line.startsWith("MSG ")) {
                m_messages << QString::fromUtf8(line.mid(4));
            }
            m_subscribed = m_subscribed || line.startsWith("Subscribed");
        }
        return m_messages;
    }

private:
    Process m_process{QProcess::SeparateChannels};
    QByteArray m_pending;
    QStringList m_messages;
    bool m_subscribed = false;
};

}  // namespace relay::testing
