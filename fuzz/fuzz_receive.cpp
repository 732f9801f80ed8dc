// A received byte stream cut into arbitrary chunks, taken the way the serial
// link takes it (one group of 8 per arrival that leaves at least 8 waiting, the
// buffer purged before every frame write), fed to the controller between ticks.
// Checks: channels change only on a valid reply for the current address, and
// the watchdog rearms only on valid replies.
#include "controller/board_controller.h"
#include "support/recording_view.h"

#include <cstdint>
#include <cstdlib>
#include <deque>

namespace {

void check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) {
        return 0;
    }
    relay::testing::RecordingView view;
    view.m_address_text = QString::number(data[0]);
    std::deque<std::uint8_t> waiting;
    relay::BoardController controller(view, [&waiting](const relay::Frame&) { waiting.clear(); });

    std::size_t at = 1;
    while (at < size) {
        const std::uint8_t op = data[at++];
        if (op % 4 == 0) {
            controller.tick();
            continue;
        }
        // An arrival of 1..16 bytes.
        const std::size_t length = std::min<std::size_t>(op % 16 + 1, size - at);
        waiting.insert(waiting.end(), data + at, data + at + length);
        at += length;
        if (waiting.size() < 8) {
            continue;
        }
        relay::Frame group{};
        for (auto& byte : group) {
            byte = waiting.front();
            waiting.pop_front();
        }
        const auto looks_before = view.m_looks;
        const int countdown_before = controller.reply_countdown();
        const std::size_t adopted_before = view.m_adopted.size();
        const QString address_before = view.m_address_text;
        controller.receive(group);

        const bool valid = relay::check_reply(group);
        const bool matching = valid && QString::number(group[1]) == address_before;
        if (!valid) {
            check(controller.reply_countdown() == countdown_before);
            check(view.m_adopted.size() == adopted_before);
        } else {
            check(controller.reply_countdown() == relay::BoardController::WatchdogTicks);
        }
        if (!matching) {
            check(view.m_looks == looks_before);
        } else {
            for (int n = 0; n < 8; ++n) {
                const auto expect = [](int bit) {
                    return bit ? relay::ChannelLook::Energised : relay::ChannelLook::Released;
                };
                check(view.m_looks[std::size_t(n)] == expect(relay::get_bit(group[6], n)));
                check(view.m_looks[std::size_t(n + 8)] == expect(relay::get_bit(group[5], n)));
            }
        }
    }
    return 0;
}
