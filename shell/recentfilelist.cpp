#include "recentfilelist.h"

#include <QDir>
#include <QFileInfo>
#include <QSettings>

namespace ondrel {

namespace {

QString Normalised(const QString& path)
{
    return QDir::cleanPath(QFileInfo(path).absoluteFilePath());
}

} // namespace

CRecentFileList::CRecentFileList(int maxSize, QObject* parent)
    : QObject(parent), m_maxSize(qMax(0, maxSize))
{}

QString CRecentFileList::Section()
{
    return QStringLiteral("Recent File List");
}

QString CRecentFileList::EntryKey(int index)
{
    return QStringLiteral("File%1").arg(index + 1);
}

void CRecentFileList::ReadList()
{
    QSettings settings;
    settings.beginGroup(Section());
    QStringList files;
    for (int i = 0; i < m_maxSize; ++i) {
        const QString path = settings.value(EntryKey(i)).toString();
        if (path.isEmpty())
            continue;
        const QString normal = Normalised(path);
        if (!files.contains(normal))
            files << normal;
    }
    if (files != m_files) {
        m_files = files;
        emit changed();
    }
}

void CRecentFileList::WriteList() const
{
    QSettings settings;
    settings.remove(Section());
    settings.beginGroup(Section());
    for (int i = 0; i < m_files.size(); ++i)
        settings.setValue(EntryKey(i), m_files.at(i));
    settings.endGroup();
    settings.sync();
}

void CRecentFileList::Add(const QString& path)
{
    if (path.isEmpty() || m_maxSize == 0)
        return;
    const QString normal = Normalised(path);
    m_files.removeAll(normal);
    m_files.prepend(normal);
    while (m_files.size() > m_maxSize)
        m_files.removeLast();
    WriteList();
    emit changed();
}

void CRecentFileList::Remove(int index)
{
    if (index < 0 || index >= m_files.size())
        return;
    m_files.removeAt(index);
    WriteList();
    emit changed();
}

QString CRecentFileList::MenuText(int index) const
{
    if (index < 0 || index >= m_files.size())
        return QString();
    const QString name = QFileInfo(m_files.at(index)).fileName();
    int sameName = 0;
    for (const QString& other : m_files) {
        if (QFileInfo(other).fileName() == name)
            ++sameName;
    }
    QString shown = sameName > 1 ? QDir::toNativeSeparators(m_files.at(index)) : name;
    // A literal '&' in a file name must not become a mnemonic.
    shown.replace(QLatin1Char('&'), QStringLiteral("&&"));
    return QStringLiteral("&%1 %2").arg(index + 1).arg(shown);
}

} // namespace ondrel
