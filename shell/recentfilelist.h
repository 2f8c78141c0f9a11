// The recent-file list of the File menu, kept in the application's profile
// settings so that it survives restarts.
#pragma once

#include <QObject>
#include <QStringList>

namespace ondrel {

// The File menu's slots for recent files.
inline constexpr int kRecentFileCount = 4;

class CRecentFileList : public QObject
{
    Q_OBJECT
public:
    explicit CRecentFileList(int maxSize, QObject* parent = nullptr);

    // Profile section and entry names ("Recent File List", File1 ... FileN).
    static QString Section();
    static QString EntryKey(int index);

    void ReadList();        // from the profile settings
    void WriteList() const; // to the profile settings

    // Puts `path` first (as an absolute path), dropping an older entry for the
    // same file and whatever falls off the end; the list is written at once so
    // a crash does not lose it.
    void Add(const QString& path);
    void Remove(int index);

    int MaxSize() const { return m_maxSize; }
    int Size() const { return static_cast<int>(m_files.size()); }
    const QStringList& Files() const { return m_files; }
    // The menu caption of entry `index`: "&1 name". The bare file name unless two
    // entries share it, then the full path tells them apart.
    QString MenuText(int index) const;

signals:
    void changed();

private:
    int m_maxSize;
    QStringList m_files;
};

} // namespace ondrel
