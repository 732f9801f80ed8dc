#pragma once

#include "relayd/state_directory.h"

#include <QString>

namespace relay {

// The host name and a hash of the --port text as given: the node id before
// the state directory, which an installation from then adopts.
QString default_node_id(const QString& host, const QString& port_text);

// What names one line whatever its spelling: a port number, a comN link, ./
// and .. in a path and a /dev/serial/by-id link all come to the by-id name of
// the device (its real path when it has none); a tcp: line is its lower case.
QString line_identity(const QString& port_text, const QString& link_directory,
                      const QString& by_id_directory = QStringLiteral("/dev/serial/by-id"));

// The node id kept for the line in the state directory (the file node-ids, a
// JSON object from line to id). A line without one adopts the old default for
// this host and port spelling, so that an installation from before keeps its
// entities, and keeps it from then on, whatever the host is called later.
// Never fails: note says what was kept, or why nothing could be.
QString kept_node_id(const StateDirectory& state, const QString& line, const QString& host,
                     const QString& port_text, QString* note);

}  // namespace relay
