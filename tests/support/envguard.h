// Environment variables changed for one scope.
#ifndef ENVGUARD_H
#define ENVGUARD_H

#include <QByteArray>
#include <QList>
#include <QtGlobal>

#include <initializer_list>
#include <utility>

// Sets or unsets environment variables and puts each back as it was (set to its old
// value, or unset) when the guard goes, in the reverse order of the changes.
//
//     EnvGuard env{{"MORAVEL_UPDATE_SERVER_US", url}, {"http_proxy", {}}};
//     env.unset("no_proxy");
//
// A null QByteArray in the list unsets the variable; an empty one sets it empty.
class EnvGuard
{
public:
    EnvGuard() = default;
    // One variable set for the scope.
    EnvGuard(const char* name, const QByteArray& value) { set(name, value); }
    EnvGuard(std::initializer_list<std::pair<const char*, QByteArray>> changes)
    {
        for (const auto& change : changes) {
            if (change.second.isNull())
                unset(change.first);
            else
                set(change.first, change.second);
        }
    }
    ~EnvGuard()
    {
        for (int i = m_saved.size() - 1; i >= 0; --i) {
            const Saved& saved = m_saved.at(i);
            if (saved.wasSet)
                qputenv(saved.name.constData(), saved.value);
            else
                qunsetenv(saved.name.constData());
        }
    }
    EnvGuard(const EnvGuard&) = delete;
    EnvGuard& operator=(const EnvGuard&) = delete;

    void set(const char* name, const QByteArray& value)
    {
        save(name);
        qputenv(name, value);
    }
    void unset(const char* name)
    {
        save(name);
        qunsetenv(name);
    }

private:
    struct Saved
    {
        QByteArray name;
        bool wasSet;
        QByteArray value;
    };
    void save(const char* name)
    {
        m_saved.append(Saved{ QByteArray(name), qEnvironmentVariableIsSet(name), qgetenv(name) });
    }
    QList<Saved> m_saved;
};

#endif // ENVGUARD_H
