#include "settings/ReadWriteSetting.h"

#include "fileops/FileOps.h"
#include "platform/AppPaths.h"

#include <QDateTime>
#include <QDomDocument>
#include <QFile>
#include <QLoggingCategory>
#include <QRecursiveMutex>
#include <QTextStream>

#include <algorithm>

#include <sys/stat.h>

Q_LOGGING_CATEGORY(lcSettings, "vanteo.settings")

namespace {

// Each operation is a whole read-(change-)write; the lock keeps callers on other threads
// from interleaving theirs. Recursive because getInstance() may create the file under it.
QRecursiveMutex s_mutex;
ReadWriteSetting *s_instance = nullptr;

const QString kGlobal = QStringLiteral("global");
const QString kUser = QStringLiteral("user");

QDomElement firstGlobal(const QDomDocument &doc)
{
    QDomElement root = doc.documentElement();
    for (QDomNode n = root.firstChild(); !n.isNull(); n = n.nextSibling()) {
        if (n.isElement() && n.toElement().tagName() == kGlobal)
            return n.toElement();
    }
    return QDomElement();
}

QDomElement findKey(const QDomElement &global, const QString &key)
{
    for (QDomNode n = global.firstChild(); !n.isNull(); n = n.nextSibling()) {
        if (n.isElement() && n.toElement().tagName() == key)
            return n.toElement();
    }
    return QDomElement();
}

QList<QDomElement> userElements(const QDomDocument &doc)
{
    QList<QDomElement> users;
    const QDomNodeList list = doc.elementsByTagName(kUser);
    for (int i = 0; i < list.size(); ++i)
        users << list.at(i).toElement();
    return users;
}

// Whether one of user's name elements holds name.
bool userNamed(const QDomElement &user, const QString &name)
{
    const QDomNodeList names = user.elementsByTagName(QStringLiteral("name"));
    for (int i = 0; i < names.size(); ++i) {
        if (names.at(i).toElement().text() == name)
            return true;
    }
    return false;
}

bool hasUser(const QDomDocument &doc, const QString &name)
{
    const QList<QDomElement> users = userElements(doc);
    return std::any_of(users.cbegin(), users.cend(), [&name](const QDomElement &u) { return userNamed(u, name); });
}

// Removes every child element of parent named tag.
void removeChildrenNamed(QDomElement parent, const QString &tag)
{
    for (QDomNode n = parent.firstChild(); !n.isNull();) {
        const QDomNode next = n.nextSibling();
        if (n.isElement() && n.toElement().tagName() == tag)
            parent.removeChild(n);
        n = next;
    }
}

} // namespace

ReadWriteSetting::ReadWriteSetting(const QString &filePath) : QObject(nullptr), m_filePath(filePath)
{
}

ReadWriteSetting *ReadWriteSetting::getInstance()
{
    QMutexLocker lock(&s_mutex);
    if (!s_instance) {
        s_instance = new ReadWriteSetting(AppPaths::configFile(QStringLiteral("global.xml")));
        QDomDocument doc;
        if (!QFile::exists(s_instance->m_filePath))
            s_instance->createFile();
        else if (!s_instance->load(&doc))
            s_instance->keepBrokenFileAside();
    }
    return s_instance;
}

void ReadWriteSetting::resetInstanceForTests()
{
    QMutexLocker lock(&s_mutex);
    delete s_instance;
    s_instance = nullptr;
}

int ReadWriteSetting::toInt(const QString &value)
{
    bool ok = false;
    const int v = value.trimmed().toInt(&ok, 10);
    return ok ? v : 0;
}

void ReadWriteSetting::createFile()
{
    QMutexLocker lock(&s_mutex);
    QDomDocument doc;
    doc.appendChild(
        doc.createProcessingInstruction(QStringLiteral("xml"), QStringLiteral("version=\"1.0\" encoding=\"UTF-8\"")));
    QDomElement root = doc.createElement(QStringLiteral("parameter"));
    doc.appendChild(root);
    root.appendChild(doc.createElement(kGlobal));
    save(doc);
}

void ReadWriteSetting::keepBrokenFileAside()
{
    const QString stamp = QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-hhmmss"));
    for (int n = 0; n < 100 && m_brokenKept.isEmpty(); ++n) {
        const QString aside =
            m_filePath + QStringLiteral(".broken-") + stamp + (n ? QStringLiteral("-%1").arg(n) : QString());
        const FileOps::MoveResult moved =
            FileOps::renameNoReplace(QFile::encodeName(m_filePath), QFile::encodeName(aside));
        if (moved == FileOps::MoveResult::Moved)
            m_brokenKept = aside;
        else if (moved != FileOps::MoveResult::Exists)
            break;
    }
    if (m_brokenKept.isEmpty()) {
        // Kept where it is: better no saved settings than none readable ever again.
        qCWarning(lcSettings) << "cannot keep the unreadable" << m_filePath << "aside; it stays unused";
        return;
    }
    qCWarning(lcSettings) << "unreadable" << m_filePath << "kept as" << m_brokenKept << "; a fresh one is written";
    createFile();
}

bool ReadWriteSetting::load(QDomDocument *doc) const
{
    QFile file(m_filePath);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    QString error;
    if (!doc->setContent(&file, &error)) {
        qCWarning(lcSettings) << "cannot parse" << m_filePath << error;
        return false;
    }
    if (doc->documentElement().tagName() != QLatin1String("parameter")) {
        qCWarning(lcSettings) << m_filePath << "is not a settings file";
        return false;
    }
    return true;
}

bool ReadWriteSetting::save(const QDomDocument &doc) const
{
    QByteArray bytes;
    {
        QTextStream out(&bytes, QIODevice::WriteOnly);
        out.setCodec("UTF-8");
        doc.save(out, 4, QDomNode::EncodingFromDocument);
    }
    // Replaced in one step and made durable, so a crash or a full disk never leaves a truncated
    // global.xml and never loses the device list; the file keeps the permissions it had.
    const QByteArray path = QFile::encodeName(m_filePath);
    struct stat st
    { };
    const mode_t mode = ::stat(path.constData(), &st) == 0 ? (st.st_mode & 07777) : 0644;
    QString why;
    if (!FileOps::writeReplacing(path, bytes, FileOps::SyncPolicy::FileAndFolder, mode, &why)) {
        qCWarning(lcSettings) << "cannot save" << m_filePath << why;
        return false;
    }
    return true;
}

QString ReadWriteSetting::getGlobalValue(const QString &key)
{
    QMutexLocker lock(&s_mutex);
    QDomDocument doc;
    if (!load(&doc))
        return QString();
    // Reads search every global element in document order.
    QDomElement root = doc.documentElement();
    for (QDomNode n = root.firstChild(); !n.isNull(); n = n.nextSibling()) {
        if (!n.isElement() || n.toElement().tagName() != kGlobal)
            continue;
        const QDomElement e = findKey(n.toElement(), key);
        if (!e.isNull())
            return e.text();
    }
    return QString();
}

bool ReadWriteSetting::edit(const std::function<bool(QDomDocument &)> &change)
{
    QMutexLocker lock(&s_mutex);
    QDomDocument doc;
    if (!load(&doc) || !change(doc))
        return false;
    return save(doc);
}

QString ReadWriteSetting::value(const SettingKey &key)
{
    const QString stored = getGlobalValue(key.name);
    return stored.isEmpty() ? QString(key.fallback) : stored;
}

int ReadWriteSetting::number(const SettingKey &key)
{
    return toInt(value(key));
}

bool ReadWriteSetting::isOn(const SettingKey &key)
{
    return number(key) >= 1;
}

bool ReadWriteSetting::isStored(const SettingKey &key)
{
    return !getGlobalValue(key.name).isEmpty();
}

void ReadWriteSetting::setValue(const SettingKey &key, const QString &value)
{
    setGlobalValue(key.name, value);
}

void ReadWriteSetting::setNumber(const SettingKey &key, int value)
{
    setGlobalValue(key.name, QString::number(value));
}

void ReadWriteSetting::remove(const SettingKey &key)
{
    removeGlobalKey(key.name);
}

void ReadWriteSetting::setGlobalValue(const QString &key, const QString &value)
{
    edit([&key, &value](QDomDocument &doc) {
        QDomElement global = firstGlobal(doc);
        if (global.isNull())
            return true;
        QDomElement e = findKey(global, key);
        if (e.isNull()) {
            e = doc.createElement(key);
            e.appendChild(doc.createTextNode(value));
            global.appendChild(e);
        } else if (e.firstChild().isNull()) {
            e.appendChild(doc.createTextNode(value));
        } else {
            e.firstChild().setNodeValue(value);
        }
        return true;
    });
}

void ReadWriteSetting::removeGlobalKey(const QString &key)
{
    edit([&key](QDomDocument &doc) {
        removeChildrenNamed(firstGlobal(doc), key);
        return true;
    });
}

bool ReadWriteSetting::userExists(const QString &name)
{
    QMutexLocker lock(&s_mutex);
    QDomDocument doc;
    return load(&doc) && hasUser(doc, name);
}

void ReadWriteSetting::addUser(const QString &name, const QString &path, const QString &time)
{
    edit([&](QDomDocument &doc) {
        if (hasUser(doc, name))
            return false;
        QDomElement user = doc.createElement(kUser);
        const QPair<QString, QString> fields[] = {{QStringLiteral("name"), name},
                                                  {QStringLiteral("path"), path},
                                                  {QStringLiteral("time"), time}};
        for (const auto &f : fields) {
            QDomElement e = doc.createElement(f.first);
            e.appendChild(doc.createTextNode(f.second));
            user.appendChild(e);
        }
        doc.documentElement().appendChild(user);
        return true;
    });
}

void ReadWriteSetting::updateUser(const QString &name, const QString &path, const QString &time)
{
    edit([&](QDomDocument &doc) {
        const auto setText = [&doc](QDomNode node, const QString &text) {
            QDomElement e = node.toElement();
            if (e.firstChild().isNull())
                e.appendChild(doc.createTextNode(text));
            else
                e.firstChild().setNodeValue(text);
        };
        for (const QDomElement &user : userElements(doc)) {
            const QDomNodeList children = user.childNodes();
            // An entry that is not name/path/time ends the update without saving anything.
            if (children.size() != 3)
                return false;
            if (children.at(0).toElement().text() != name)
                continue;
            if (!path.isEmpty())
                setText(children.at(1), path);
            if (!time.isEmpty())
                setText(children.at(2), time);
        }
        return true;
    });
}

void ReadWriteSetting::removeUser(const QString &name)
{
    edit([&name](QDomDocument &doc) {
        bool removed = false;
        for (QDomElement &user : userElements(doc)) {
            if (userNamed(user, name)) {
                user.parentNode().removeChild(user);
                removed = true;
            }
        }
        return removed;
    });
}

QList<UserEntry> ReadWriteSetting::getUserList()
{
    QMutexLocker lock(&s_mutex);
    QList<UserEntry> list;
    QDomDocument doc;
    if (!load(&doc))
        return list;
    for (const QDomElement &user : userElements(doc)) {
        const QDomNodeList children = user.childNodes();
        if (children.size() <= 2)
            continue;
        list.append(
            {children.at(0).toElement().text(), children.at(1).toElement().text(), children.at(2).toElement().text()});
    }
    return list;
}

void ReadWriteSetting::clearUsers()
{
    edit([](QDomDocument &doc) {
        removeChildrenNamed(doc.documentElement(), kUser);
        return true;
    });
}
