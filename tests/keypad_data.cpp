#include "keypad_data.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <stdexcept>

#include "protocol/hex_text.h"

namespace tolvane::testing {
namespace {

[[noreturn]] void malformed(const QString& what) {
    throw std::runtime_error(QStringLiteral("%1: %2").arg(TOLVANE_KEYPAD_DATA, what).toStdString());
}

QString text(const QJsonObject& row, const char* field) {
    const QJsonValue value = row.value(QLatin1String(field));
    if (!value.isString()) malformed(QStringLiteral("\"%1\" is not text").arg(field));
    return value.toString();
}

std::uint8_t byte(const QJsonObject& row, const char* field) {
    const std::optional<Bytes> bytes = parseHexText(text(row, field).toStdString());
    if (!bytes || bytes->size() != 1)
        malformed(QStringLiteral("\"%1\" is not one byte").arg(field));
    return bytes->front();
}

QRect twips(const QJsonObject& row) {
    const QJsonArray at = row.value(QLatin1String("twips")).toArray();
    if (at.size() != 4) malformed(QStringLiteral("\"twips\" is not left, top, width, height"));
    return {at[0].toInt(), at[1].toInt(), at[2].toInt(), at[3].toInt()};
}

KeypadData load() {
    QFile file(QStringLiteral(TOLVANE_KEYPAD_DATA));
    if (!file.open(QIODevice::ReadOnly)) malformed(file.errorString());
    QJsonParseError error;
    const QJsonObject root = QJsonDocument::fromJson(file.readAll(), &error).object();
    if (error.error != QJsonParseError::NoError) malformed(error.errorString());
    KeypadData data;
    data.probe = text(root, "probe").toStdString();
    for (const QJsonValue& value : root.value(QLatin1String("frames")).toArray()) {
        const QJsonObject row = value.toObject();
        data.frames.push_back({text(row, "name"), text(row, "title"), twips(row)});
    }
    for (const QJsonValue& value : root.value(QLatin1String("controls")).toArray()) {
        const QJsonObject row = value.toObject();
        ExpectedControl control{
            text(row, "name"), text(row, "in"), twips(row), text(row, "caption"), {}, {}, 0, 0, {}};
        if (row.contains(QLatin1String("keyFrame"))) {
            control.leadIn = text(row, "leadIn").toStdString();
            control.keyFrame = text(row, "keyFrame").toStdString();
            control.payload1 = byte(row, "payload1");
            control.code = byte(row, "code");
            control.shortcut = row.value(QLatin1String("shortcut")).toString();
        }
        data.controls.push_back(control);
    }
    if (data.frames.empty() || data.controls.empty()) malformed(QStringLiteral("no rows"));
    return data;
}

}  // namespace

std::vector<ExpectedControl> KeypadData::keys() const {
    std::vector<ExpectedControl> keys;
    for (const ExpectedControl& c : controls)
        if (!c.keyFrame.empty()) keys.push_back(c);
    return keys;
}

const ExpectedControl& KeypadData::control(const QString& name) const {
    for (const ExpectedControl& c : controls)
        if (c.name == name) return c;
    throw std::out_of_range("no control " + name.toStdString() + " in the keypad data");
}

const KeypadData& keypadData() {
    static const KeypadData data = load();
    return data;
}

}  // namespace tolvane::testing
