#pragma once

#include <QHostAddress>
#include <QString>

namespace relay {

// relayd's web page and API; port 0: none.
struct WebOptions {
    QHostAddress address = QHostAddress(QHostAddress::LocalHost);
    quint16 port = 0;
    QString users;  // the users file; without it, loopback only
    QString cert;
    QString key;
};

}  // namespace relay
