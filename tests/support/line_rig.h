#pragma once

#include "controller/bus_poller.h"

#include <QRegularExpression>
#include <QStringList>

#include <map>
#include <optional>
#include <vector>

namespace relay::testing {

// A line with boards that answer RoundTripMs after a frame, the clock driven
// by hand; everything that happens goes into one transcript with its time.
// A suite derives it for what sits on the line and what its actions do.
struct LineRig : BusEvents {
    static constexpr std::int64_t RoundTripMs = 20;

    struct Board {
        ChannelBits channels = 0;
        ChannelBits stuck = 0;
        std::int64_t silent_from = -1, silent_to = -1;
    };
    std::map<int, Board> line;
    std::vector<std::pair<std::int64_t, Frame>> replies;
    QStringList transcript;
    std::int64_t now = 0;

    virtual void advance() = 0;
    virtual void receive(const Frame& reply) = 0;
    virtual std::optional<std::int64_t> deadline() const = 0;
    virtual void act(const QStringList& words) = 0;

    // "address[:channels[:stuck[:silent from-to]]] ..."
    void set_line(const QString& spec) {
        for (const QString& item : spec.split(' ', Qt::SkipEmptyParts)) {
            const QStringList f = item.split(':');
            Board& b = line[f[0].toInt()];
            b.channels = ChannelBits(f.value(1).toInt(nullptr, 0));
            b.stuck = ChannelBits(f.value(2).toInt(nullptr, 0));
            if (f.size() > 3) {
                b.silent_from = f[3].section('-', 0, 0).toInt();
                b.silent_to = f[3].section('-', 1, 1).toInt();
            }
        }
    }
    void note(const QString& what) {
        transcript.append(QStringLiteral("%1 %2").arg(now).arg(what));
    }
    // What a board makes of a frame, and its reply a round trip later.
    void sent(const Frame& f) {
        note(QStringLiteral("> %1 %2 %3").arg(f[1]).arg(f[2], 2, 16, QChar('0')).arg(f[6]));
        auto it = line.find(f[1]);
        if (it == line.end() || (now >= it->second.silent_from && now < it->second.silent_to)) {
            return;
        }
        Board& b = it->second;
        const ChannelBits bit = static_cast<ChannelBits>(1u << ((f[6] - 1) & 15));
        const ChannelBits free = static_cast<ChannelBits>(~b.stuck);
        if (f[2] == cmd::Energise)
            b.channels |= bit & free;
        if (f[2] == cmd::Release)
            b.channels &= static_cast<ChannelBits>(~(bit & free));
        if (f[2] == cmd::SwitchAll)
            b.channels = static_cast<ChannelBits>((b.channels & b.stuck) | (f[6] ? free : 0));
        replies.emplace_back(now + RoundTripMs, build_reply(f[1], f[2], b.channels));
    }
    void replied(const Frame&) override {}
    void availability_changed(const BoardState& b) override {
        note(QStringLiteral("%1 %2")
                 .arg(b.availability == Availability::Online ? "online" : "offline")
                 .arg(b.address));
    }
    void job_finished(int job, JobResult r) override {
        const char* words[] = {"verified", "not verified", "no reply"};
        note(QStringLiteral("job %1 %2").arg(job).arg(words[int(r)]));
    }
    void unanswered(const Frame&) override {}
    void scan_progress(int) override {}
    void scan_finished() override { note("scan done"); }

    // "T what args": acts at time T; runs the line until `until`.
    void run(const QStringList& actions, std::int64_t until) {
        std::size_t next_action = 0;
        const auto action_at = [&] {
            return actions[qsizetype(next_action)].section(' ', 0, 0).toLongLong();
        };
        advance();
        while (now <= until) {
            std::int64_t at = until + 1;
            if (auto d = deadline())
                at = std::min(at, std::max(*d, now));
            if (!replies.empty())
                at = std::min(at, replies.front().first);
            if (next_action < std::size_t(actions.size()))
                at = std::min<std::int64_t>(at, action_at());
            now = at;
            if (now > until)
                break;
            if (!replies.empty() && replies.front().first == now) {
                const Frame r = replies.front().second;
                replies.erase(replies.begin());
                receive(r);
            } else {
                while (next_action < std::size_t(actions.size()) && action_at() == now) {
                    act(actions[qsizetype(next_action++)].split(' ').mid(1));
                }
                advance();
            }
        }
    }
    // The transcript, without the polls when the expected one has none.
    QStringList seen(const QStringList& expected) const {
        if (expected.join(' ').contains('>'))
            return transcript;
        return transcript.filter(QRegularExpression("online|offline|job|scan|pulse|notice|done"));
    }
};

}  // namespace relay::testing
