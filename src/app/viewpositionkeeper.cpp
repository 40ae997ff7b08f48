#include "viewpositionkeeper.h"

#include <QAbstractItemModel>
#include <QItemSelectionModel>
#include <QScrollBar>
#include <QTableView>

namespace Veltrano {

namespace {

// How far from its old place a row is looked for. Between two reloads a few
// rows arrive at most; the bound only keeps a vanished row from costing a walk
// through the whole table.
constexpr int kSearchDistance = 1000;

} // namespace

ViewPositionKeeper::ViewPositionKeeper(QTableView *view)
    : m_view(view)
    , m_model(view->model())
{
    if (!m_model)
        return;
    const QScrollBar *vertical = view->verticalScrollBar();
    m_atTop = vertical->value() == vertical->minimum();
    m_horizontal = view->horizontalScrollBar()->value();
    m_topRow = view->rowAt(0);
    if (m_topRow >= 0)
        m_topOffset = view->rowViewportPosition(m_topRow);

    const QModelIndex current = view->currentIndex();
    if (current.isValid()) {
        m_currentRow = current.row();
        m_currentColumn = current.column();
    }
    if (const QItemSelectionModel *selection = view->selectionModel()) {
        for (const QItemSelectionRange &range : selection->selection())
            m_selection.append({range.top(), range.left(), range.bottom(), range.right()});
    }

    m_referenceRow = m_currentRow >= 0 ? m_currentRow : !m_selection.isEmpty() ? m_selection.first().top : m_topRow;
    if (m_referenceRow >= 0)
        m_reference = rowValues(m_referenceRow);
}

ViewPositionKeeper::~ViewPositionKeeper()
{
    if (!m_model || m_model != m_view->model())
        return;
    // Lay the view out for the new rows first, so the scroll range fits them.
    m_view->doItemsLayout();
    restore(m_referenceRow >= 0 ? findShift() : -1);
    m_view->horizontalScrollBar()->setValue(m_horizontal);
}

QVector<QVariant> ViewPositionKeeper::rowValues(int row) const
{
    QVector<QVariant> values;
    const int columns = m_model->columnCount();
    values.reserve(columns);
    for (int column = 0; column < columns; ++column)
        values.append(m_model->index(row, column).data());
    return values;
}

// Models that load their rows in batches (as SQL models do) only know the
// rows loaded so far.
bool ViewPositionKeeper::ensureLoaded(int row) const
{
    while (row >= m_model->rowCount() && m_model->canFetchMore(QModelIndex()))
        m_model->fetchMore(QModelIndex());
    return row >= 0 && row < m_model->rowCount();
}

// How many places the reference row has moved: the nearest place holding the
// same values, looking further down first (new rows come in above), or -1
// when it is nowhere near.
int ViewPositionKeeper::findShift() const
{
    for (int distance = 0; distance <= kSearchDistance; ++distance) {
        for (const int shift : {distance, -distance}) {
            if (shift < 0 && distance == 0)
                continue;
            const int row = m_referenceRow + shift;
            if (ensureLoaded(row) && rowValues(row) == m_reference)
                return shift;
        }
        if (!ensureLoaded(m_referenceRow + distance) && m_referenceRow - distance < 0)
            break;
    }
    return -1;
}

void ViewPositionKeeper::restore(int shift)
{
    if (shift < 0) {
        // The rows the user was on are gone: start again from the top.
        m_view->scrollToTop();
        return;
    }

    if (QItemSelectionModel *selectionModel = m_view->selectionModel()) {
        QItemSelection selection;
        for (const Range &range : qAsConst(m_selection)) {
            const int bottom = range.bottom + shift;
            ensureLoaded(bottom);
            const int lastRow = qMin(bottom, m_model->rowCount() - 1);
            if (range.top + shift <= lastRow)
                selection.select(m_model->index(range.top + shift, range.left), m_model->index(lastRow, range.right));
        }
        if (m_currentRow >= 0 && ensureLoaded(m_currentRow + shift))
            selectionModel->setCurrentIndex(m_model->index(m_currentRow + shift, m_currentColumn),
                                            QItemSelectionModel::NoUpdate);
        selectionModel->select(selection, QItemSelectionModel::ClearAndSelect);
    }

    if (m_atTop || !ensureLoaded(m_topRow + shift)) {
        m_view->scrollToTop();
        return;
    }
    // Rows loaded just now count for the scroll range only after a layout;
    // without it the position below would be clipped to the first batch.
    m_view->doItemsLayout();
    // Put the row that was at the top back there, at the same pixel offset
    // when the view scrolls by pixels.
    QScrollBar *vertical = m_view->verticalScrollBar();
    if (m_view->verticalScrollMode() == QAbstractItemView::ScrollPerItem) {
        vertical->setValue(vertical->value() + (m_topRow + shift) - m_view->rowAt(0));
    } else {
        vertical->setValue(vertical->value() + m_view->rowViewportPosition(m_topRow + shift) - m_topOffset);
    }
}

} // namespace Veltrano
