#include "rowsaccessible.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QItemSelectionModel>
#include <QListView>
#include <QPointer>
#include <QWindow>
#include <vector>

namespace ondrel::fleet {

namespace {

const char kProperty[] = "ondrelRowsAccessible";

class CRowItem : public QAccessibleInterface
{
public:
    CRowItem(QListView* view, const QModelIndex& index) : m_view(view), m_index(index) {}

    QListView* View() const { return m_view; }
    int Row() const { return isValid() ? m_index.row() : -1; }

    bool isValid() const override
    {
        return m_view && m_index.isValid() && m_index.model() == m_view->model();
    }
    QObject* object() const override { return nullptr; }
    QWindow* window() const override { return m_view ? m_view->window()->windowHandle() : nullptr; }
    QAccessibleInterface* parent() const override
    {
        return m_view ? QAccessible::queryAccessibleInterface(m_view) : nullptr;
    }
    QAccessibleInterface* child(int) const override { return nullptr; }
    int childCount() const override { return 0; }
    int indexOfChild(const QAccessibleInterface*) const override { return -1; }
    QAccessibleInterface* childAt(int, int) const override { return nullptr; }

    QString text(QAccessible::Text t) const override
    {
        if (!isValid())
            return QString();
        if (t == QAccessible::Description)
            return m_index.data(Qt::AccessibleDescriptionRole).toString();
        if (t != QAccessible::Name)
            return QString();
        const QString name = m_index.data(Qt::AccessibleTextRole).toString();
        return name.isEmpty() ? m_index.data(Qt::DisplayRole).toString() : name;
    }
    void setText(QAccessible::Text, const QString&) override {}

    QRect rect() const override
    {
        if (!isValid())
            return QRect();
        const QRect r = m_view->visualRect(m_index);
        return QRect(m_view->viewport()->mapToGlobal(r.topLeft()), r.size());
    }
    QAccessible::Role role() const override { return QAccessible::ListItem; }
    QAccessible::State state() const override
    {
        QAccessible::State s;
        if (!isValid()) {
            s.invalid = true;
            return s;
        }
        s.selectable = true;
        s.focusable = true;
        s.selected = m_view->selectionModel() && m_view->selectionModel()->isSelected(m_index);
        s.focused = m_view->hasFocus() && m_view->currentIndex() == m_index;
        s.offscreen = !m_view->viewport()->rect().intersects(m_view->visualRect(m_index));
        return s;
    }

private:
    QPointer<QListView> m_view;
    QPersistentModelIndex m_index;
};

class CRowList : public QAccessibleWidget
{
public:
    explicit CRowList(QListView* view) : QAccessibleWidget(view, QAccessible::List) {}
    ~CRowList() override
    {
        for (const QAccessible::Id id : m_items)
            QAccessible::deleteAccessibleInterface(id);
    }

    QListView* View() const { return static_cast<QListView*>(widget()); }

    int childCount() const override
    {
        const QAbstractItemModel* model = View()->model();
        return model ? model->rowCount(View()->rootIndex()) : 0;
    }

    QAccessibleInterface* child(int row) const override
    {
        if (row < 0 || row >= childCount())
            return nullptr;
        if (QAccessibleInterface* item = AtRow(row))
            return item;
        Reindex();
        if (QAccessibleInterface* item = AtRow(row))
            return item;
        QListView* view = View();
        auto* item =
            new CRowItem(view, view->model()->index(row, view->modelColumn(), view->rootIndex()));
        const QAccessible::Id id = QAccessible::registerAccessibleInterface(item);
        m_items.push_back(id);
        m_byRow[size_t(row)] = id;
        return item;
    }

    int indexOfChild(const QAccessibleInterface* child) const override
    {
        const auto* item = dynamic_cast<const CRowItem*>(child);
        return item && item->View() == View() ? item->Row() : -1;
    }

    QAccessibleInterface* childAt(int x, int y) const override
    {
        const QModelIndex index = View()->indexAt(View()->viewport()->mapFromGlobal(QPoint(x, y)));
        return index.isValid() ? child(index.row()) : nullptr;
    }

    QAccessibleInterface* focusChild() const override
    {
        const QModelIndex current = View()->currentIndex();
        return View()->hasFocus() && current.isValid() ? child(current.row()) : nullptr;
    }

private:
    QAccessibleInterface* AtRow(int row) const
    {
        if (size_t(row) >= m_byRow.size() || m_byRow[size_t(row)] == 0)
            return nullptr;
        auto* item =
            dynamic_cast<CRowItem*>(QAccessible::accessibleInterface(m_byRow[size_t(row)]));
        return item && item->Row() == row ? item : nullptr;
    }

    // The rows have moved, come or gone since the positions were last known:
    // each item says where its row is now; those whose row is gone go too.
    void Reindex() const
    {
        m_byRow.assign(size_t(childCount()), 0);
        std::vector<QAccessible::Id> kept;
        kept.reserve(m_items.size());
        for (const QAccessible::Id id : m_items) {
            auto* item = dynamic_cast<CRowItem*>(QAccessible::accessibleInterface(id));
            if (!item)
                continue;
            const int row = item->Row();
            if (row < 0 || size_t(row) >= m_byRow.size() || m_byRow[size_t(row)] != 0) {
                QAccessible::deleteAccessibleInterface(id);
                continue;
            }
            m_byRow[size_t(row)] = id;
            kept.push_back(id);
        }
        m_items = std::move(kept);
    }

    mutable std::vector<QAccessible::Id> m_items; // every item made and not yet gone
    mutable std::vector<QAccessible::Id> m_byRow; // 0 where none is known
};

QAccessibleInterface* Factory(const QString&, QObject* object)
{
    auto* view = qobject_cast<QListView*>(object);
    if (view && view->property(kProperty).toBool())
        return new CRowList(view);
    return nullptr;
}

} // namespace

void MakeRowsAccessible(QListView* view)
{
    static const bool installed = [] {
        QAccessible::installFactory(&Factory);
        return true;
    }();
    Q_UNUSED(installed)
    view->setProperty(kProperty, true);
    // One made before the property was set would be Qt's own, kept for the view's
    // lifetime: made again, it is this one.
    QAccessibleInterface* iface = QAccessible::queryAccessibleInterface(view);
    if (iface && !dynamic_cast<CRowList*>(iface))
        QAccessible::deleteAccessibleInterface(QAccessible::uniqueId(iface));
}

} // namespace ondrel::fleet
