#pragma once

#include <QObject>
#include <QStringList>
#include <QVariant>

#include <type_traits>

namespace corvane::test {

// Signals of several objects in the order they came, each line the label and the
// arguments: "R:ReceiveProgress 4096 10000".
class EventLog
{
public:
    template<typename Object, typename... Args>
    void record(Object *object, void (Object::*signal)(Args...), const QString &label)
    {
        QObject::connect(object, signal, object, [this, label](const std::decay_t<Args> &...args) {
            QStringList parts{label};
            (parts.append(QVariant::fromValue(args).toString()), ...);
            lines.append(parts.join(u' '));
        });
    }

    // The lines without those containing part (progress interleaves at will).
    QStringList without(const QString &part) const
    {
        QStringList kept;
        for (const QString &line : lines) {
            if (!line.contains(part))
                kept.append(line);
        }
        return kept;
    }

    QStringList lines;
};

} // namespace corvane::test
