// A received byte stream cut into arbitrary chunks, taken the way the serial
// link takes it (one group of 8 per arrival that leaves at least 8 waiting, the
// buffer purged before every frame write), fed to the controller between ticks.
// Checks: channels change only on a valid reply for the current address, and
// the watchdog rearms only on valid replies.
#include "controller/board_controller.h"
#include "serial/receive_buffer.h"
#include "support/recording_view.h"

#include <cstdint>
#include <cstdlib>

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
    relay::ReceiveBuffer waiting;
    relay::BoardController controller(view, [&waiting](const relay::Frame&) { waiting.discard(); });

    std::size_t at = 1;
    while (at < size) {
        const std::uint8_t op = data[at++];
        if (op % 4 == 0) {
            controller.tick();
            continue;
        }
        // An arrival of 1..16 bytes.
        const std::size_t length = std::min<std::size_t>(op % 16 + 1, size - at);
        const std::optional<relay::Frame> taken = waiting.arrive(
            QByteArrayView(reinterpret_cast<const char*>(data + at), qsizetype(length)));
        at += length;
        if (!taken) {
            check(waiting.waiting() < 8);
            continue;
        }
        const relay::Frame group = *taken;
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
