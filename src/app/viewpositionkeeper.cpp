#include "viewpositionkeeper.h"

#include <QHeaderView>
#include <QScrollBar>
#include <QTableView>

namespace Veltrano {

ViewPositionKeeper::ViewPositionKeeper(QTableView *view)
    : QObject(view)
    , m_view(view)
{
    QAbstractItemModel *model = view->model();
    connect(model, &QAbstractItemModel::rowsAboutToBeInserted, this,
            [this](const QModelIndex &, int first, int) { aboutToInsert(first); });
    connect(model, &QAbstractItemModel::rowsInserted, this,
            [this](const QModelIndex &, int first, int last) { inserted(first, last); });
}

void ViewPositionKeeper::aboutToInsert(int first)
{
    const QScrollBar *bar = m_view->verticalScrollBar();
    const int top = m_view->rowAt(0);
    m_shift = bar->value() > bar->minimum() && top >= 0 && first <= top;
}

void ViewPositionKeeper::inserted(int first, int last)
{
    if (!m_shift)
        return;
    // The scroll range takes in the new rows only at the next layout.
    m_view->doItemsLayout();
    const QHeaderView *rows = m_view->verticalHeader();
    const int by = m_view->verticalScrollMode() == QAbstractItemView::ScrollPerItem
                       ? last - first + 1
                       : rows->sectionPosition(last) + rows->sectionSize(last) - rows->sectionPosition(first);
    QScrollBar *bar = m_view->verticalScrollBar();
    bar->setValue(bar->value() + by);
}

} // namespace Veltrano
