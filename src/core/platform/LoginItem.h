#pragma once

#include <QString>

// Whether the application opens when the user logs in.
class LoginItem
{
public:
    enum class Status { NotRegistered, Enabled };

    virtual ~LoginItem() = default;

    // Read from the system each time: the user may change it behind our back.
    virtual Status status() const = 0;
    // On failure returns false and says why in `error` (one line, for the system log).
    virtual bool registerItem(QString *error) = 0;
    virtual bool unregisterItem(QString *error) = 0;
};
