#pragma once

#include "settings/SettingsKeys.h"

#include <QList>
#include <QObject>
#include <QString>

#include <functional>

class QDomDocument;

// One entry of the device list kept in global.xml.
struct UserEntry
{
    QString name;
    QString path;
    QString time;
};

// The settings and the list of admitted phones, kept in global.xml in the program folder.
// Every call reads and parses the whole file and, when it changes something, writes it back;
// nothing is cached, so a change is seen by the next read anywhere in the program.
class ReadWriteSetting : public QObject
{
    Q_OBJECT
public:
    static ReadWriteSetting *getInstance();

    void createFile();

    // Through the key table (settings/SettingsKeys.h): the stored text, or the key's fallback when
    // nothing or an empty text is stored.
    QString value(const SettingKey &key);
    // value() as a decimal number (toInt rules), and whether that number is 1 or more.
    int number(const SettingKey &key);
    bool isOn(const SettingKey &key);
    // Whether a non-empty text is stored (the fallback is not).
    bool isStored(const SettingKey &key);
    void setValue(const SettingKey &key, const QString &value);
    void setNumber(const SettingKey &key, int value);
    void remove(const SettingKey &key);

    // Untyped access by element name, for names outside the table.
    QString getGlobalValue(const QString &key);
    void setGlobalValue(const QString &key, const QString &value);
    void removeGlobalKey(const QString &key);

    bool userExists(const QString &name);
    void addUser(const QString &name, const QString &path, const QString &time);
    void updateUser(const QString &name, const QString &path, const QString &time);
    void removeUser(const QString &name);
    QList<UserEntry> getUserList();
    void clearUsers();

    QString filePath() const { return m_filePath; }
    // Where an unreadable global.xml found at start was kept aside (empty when it was fine).
    QString brokenFileKept() const { return m_brokenKept; }

    // Decimal conversion used by every reader: text that is not a number counts as 0.
    static int toInt(const QString &value);

    // Tests only: forget the single object so the next getInstance() starts afresh.
    static void resetInstanceForTests();

private:
    explicit ReadWriteSetting(const QString &filePath);
    bool load(QDomDocument *doc) const;
    bool save(const QDomDocument &doc) const;
    // Loads the file, lets change edit it and saves it when change returns true, all under the
    // store's lock. False when the file cannot be read or nothing was saved.
    bool edit(const std::function<bool(QDomDocument &)> &change);

    // A file that exists but cannot be read is kept aside under a dated name and a fresh one
    // written, so settings are saved again and nothing of it is lost.
    void keepBrokenFileAside();

    QString m_filePath;
    QString m_brokenKept;
};
