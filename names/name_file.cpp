#include "names/name_file.h"

#include "names/profile_file.h"

#include <QFileInfo>

#include <vector>

namespace relay {

namespace {

const QString TitleSection = QStringLiteral("软件属性");
const QString TitleKey = QStringLiteral("名称");
const QString DefaultTitle = QStringLiteral("16路串口控制继电器板Tavi");
// The file counts as initialised when it holds this section's header line.
const QString MarkerSection = QStringLiteral("地址码0");

constexpr int AddressCount = 256;
constexpr int ChannelCount = 16;

QString address_section(const QString& address_text) {
    return QStringLiteral("地址码") + address_text;
}

QString channel_key(const QString& channel_text) {
    return u'第' + channel_text + QStringLiteral("路名称");
}

// The title, then the 16 default names of each address 0..255, in the order
// of the key-by-key writes.
std::vector<ProfileEntry> default_contents() {
    std::vector<ProfileEntry> entries;
    entries.reserve(1 + AddressCount * ChannelCount);
    entries.push_back({TitleSection, TitleKey, DefaultTitle});
    for (int address = 0; address < AddressCount; ++address) {
        const QString section = address_section(QString::number(address));
        for (int channel = 1; channel <= ChannelCount; ++channel) {
            const QString number = QString::number(channel);
            entries.push_back({section, channel_key(number), u'第' + number + u'路'});
        }
    }
    return entries;
}

}  // namespace

NameFile::NameFile(MessageSink& messages, QString directory)
    : m_messages(messages), m_directory(std::move(directory)) {}

QString NameFile::name_file_path() const {
    return m_directory + QStringLiteral("/name.txt");
}

bool NameFile::exists() const {
    return QFileInfo::exists(name_file_path());
}

QString NameFile::load_title() {
    const QString title = exists() ? read_profile_string(m_messages, m_cache, name_file_path(),
                                                         TitleSection, TitleKey)
                                   : QString();
    return title.isEmpty() ? DefaultTitle : title;
}

void NameFile::init_name_file(const std::function<void(const QString&)>& set_title) {
    const QString path = name_file_path();
    if (section_exists(m_messages, path, MarkerSection)) {
        set_title(read_profile_string(m_messages, m_cache, path, TitleSection, TitleKey));
        return;
    }
    set_title(DefaultTitle);
    QString error;
    // A near-miss marker line (" [地址码0]") reads as the marker section, so the
    // defaults land under it and the exact line would still be missing: every
    // start would wipe the operator's names again. Mend the header once.
    const bool written = write_profile_values(path, default_contents(), &error) &&
                         (section_exists(m_messages, path, MarkerSection) ||
                          make_section_header_exact(path, MarkerSection, &error));
    if (written) {
        m_messages.show_message(MessageSink::Icon::None, QString(),
                                QStringLiteral("名称文件被创建。"));
    } else {
        m_messages.show_message(
            MessageSink::Icon::Error, QString(),
            QStringLiteral("无法创建名称文件 %1：%2").arg(shown_path(path), error));
    }
}

QStringList NameFile::load_channel_names(const QString& address_text) {
    QStringList keys;
    for (int channel = 1; channel <= ChannelCount; ++channel) {
        keys.append(channel_key(QString::number(channel)));
    }
    return read_profile_strings(m_messages, m_cache, name_file_path(),
                                address_section(address_text), keys);
}

QString NameFile::load_channel_name(const QString& address_text, const QString& channel_text) {
    return read_profile_string(m_messages, m_cache, name_file_path(), address_section(address_text),
                               channel_key(channel_text));
}

bool NameFile::save_channel_name(const QString& address_text, const QString& channel_text,
                                 const QString& name) {
    const QString path = name_file_path();
    if (const QString reason = unstorable_text_reason(name); !reason.isEmpty()) {
        m_messages.show_message(
            MessageSink::Icon::Warning, QString(),
            QStringLiteral("名称未保存：名称%1。%2 未被改动。").arg(reason, shown_path(path)));
        return false;
    }
    QString error;
    if (write_profile_string(m_messages, path, address_section(address_text),
                             channel_key(channel_text), name, &error) != 0) {
        return true;
    }
    if (!error.isEmpty()) {  // else the missing file has been reported
        m_messages.show_message(
            MessageSink::Icon::Error, QString(),
            QStringLiteral("名称未能保存到 %1：%2。文件未被改动。").arg(shown_path(path), error));
    }
    return false;
}

}  // namespace relay
