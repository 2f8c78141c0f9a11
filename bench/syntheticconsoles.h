// Synthetic consoles for the benchmarks that need a fleet: child processes of the
// benchmark, each with up to 250 libmosquitto clients (one per console, under its
// own prefix, with its info, version, status and Last Will), a reading every
// 200 ms at QoS 0 and an event every 2 s at QoS 1.
#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>
#include <memory>
#include <vector>

namespace ondrel::bench {

struct SyntheticOptions
{
    int first = 0; // the first console's number: gen0000, gen0001, ...
    int count = 1;
    QString root;
    int port = 0;
    int seconds = 60;
    // Beam-on readings that all differ (kV, µA and temperature move, xray_on is
    // true); otherwise every reading of a console is the same idle one.
    bool varying = false;
};

// The arguments a benchmark passes its own program to run one child, and the
// child's side: true with *options filled when argv is such a child's.
QStringList SyntheticArguments(const SyntheticOptions& options);
bool IsSyntheticChild(int argc, char* argv[], SyntheticOptions* options);

// The child's body: publishes until SIGTERM or its seconds are up, then prints
// "sent-events N" (the QoS 1 events the broker acknowledged) and ends cleanly.
int PublishSynthetic(const SyntheticOptions& options);

// Starts children of `self` for `count` consoles, at most 250 a process: the
// library's loop waits in select(), which sees no descriptor above 1,023, and
// each client holds three.
std::vector<std::unique_ptr<QProcess>> StartSynthetic(const QString& self,
                                                      SyntheticOptions options);
// Waits for the children and adds up the events they had acknowledged.
long SyntheticEventsSent(std::vector<std::unique_ptr<QProcess>>& children);

} // namespace ondrel::bench
