#pragma once

#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTest>

namespace relay::testing {

// The system's chromium, driven by browser/driver.js through node. Each run()
// is the body of an async function that sees browser, context, page, pages,
// newPage(options), messages, vars and args (see driver.js); what it returns
// comes back as JSON. A test drives its pages one step at a time:
//
//     Browser browser;
//     QVERIFY2(browser.start(), qPrintable(browser.error()));
//     browser.run("await page.goto(args.url)", {{"url", url}});
//     browser.run("await page.getByRole('button', {name: '3'}).click()");
//     const QJsonValue pressed = browser.run(
//         "return page.getByRole('button', {name: '3'}).getAttribute('aria-pressed')");
//     QCOMPARE(pressed.toString(), "true");
class Browser {
public:
    static constexpr int StepMs = 15000;

    ~Browser() { stop(); }

    // Starts node and chromium; false with error() when either will not.
    bool start(int ms = 60000) {
        m_process.start("node", {RELAY_BROWSER_DRIVER "/driver.js"});
        const QJsonObject ready = next_line(ms);
        if (!ready.value("ready").toBool()) {
            fail("the browser did not start: " + ready.value("error").toString());
        }
        return ready.value("ready").toBool();
    }
    // What the body returned (null for nothing), or undefined with error() when
    // it threw or gave no answer within ms.
    QJsonValue run(const QString& js, const QJsonObject& args = {}, int ms = StepMs) {
        const int id = ++m_last_id;
        const QJsonObject request{{"id", id}, {"js", js}, {"args", args}, {"timeout_ms", ms}};
        m_process.write(QJsonDocument(request).toJson(QJsonDocument::Compact) + '\n');
        // The driver gives up after ms itself. An earlier step's late answer is skipped.
        QJsonObject answer;
        do {
            answer = next_line(ms + 5000);
        } while (!answer.isEmpty() && answer.value("id").toInt() != id);
        if (answer.value("ok").toBool()) {
            m_error.clear();
            return answer.value("value");
        }
        fail(answer.isEmpty() ? QString("no answer within %1 ms to: %2").arg(ms).arg(js)
                              : answer.value("error").toString());
        return QJsonValue(QJsonValue::Undefined);
    }

    // The last failure, with what chromium and node said on stderr.
    QString error() const { return m_error; }

    void stop() {
        if (m_process.state() == QProcess::NotRunning) {
            return;
        }
        m_process.closeWriteChannel();  // the driver closes chromium and ends
        if (!m_process.waitForFinished(10000)) {
            m_process.kill();
            m_process.waitForFinished(5000);
        }
    }

private:
    QJsonObject next_line(int ms) {
        const bool got = QTest::qWaitFor(
            [this] { return m_process.canReadLine() || m_process.state() == QProcess::NotRunning; },
            ms);
        return got && m_process.canReadLine()
                   ? QJsonDocument::fromJson(m_process.readLine()).object()
                   : QJsonObject();
    }
    void fail(const QString& text) {
        const QByteArray said = m_process.readAllStandardError().right(3000);
        m_error = said.isEmpty() ? text : text + "\n--- the driver's stderr:\n" + said;
    }

    QProcess m_process;
    QString m_error;
    int m_last_id = 0;
};

}  // namespace relay::testing
