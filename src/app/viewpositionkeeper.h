#pragma once

#include <QVariant>
#include <QVector>

class QAbstractItemModel;
class QTableView;

namespace Veltrano {

// Keeps what the user is looking at in a table view while its model is
// reloaded from scratch (a select() that resets it): the selected rows, the
// current cell and the scroll position. Construct it before the reload; it
// puts everything back when it goes out of scope:
//
//     {
//         ViewPositionKeeper keep(view);
//         model.select();
//     }
//
// Rows are told apart by their contents, since the table behind the view has
// no key and new rows push the older ones down. A view scrolled to the very
// top stays there, so new rows come into sight as they arrive. When the row
// the user was on is gone (the table was emptied), nothing is selected and
// the view shows the top.
class ViewPositionKeeper
{
public:
    explicit ViewPositionKeeper(QTableView *view);
    ~ViewPositionKeeper();
    ViewPositionKeeper(const ViewPositionKeeper &) = delete;
    ViewPositionKeeper &operator=(const ViewPositionKeeper &) = delete;

private:
    struct Range {
        int top, left, bottom, right;
    };

    QVector<QVariant> rowValues(int row) const;
    bool ensureLoaded(int row) const;
    int findShift() const;
    void restore(int shift);

    QTableView *m_view;
    QAbstractItemModel *m_model;
    bool m_atTop = true;
    int m_horizontal = 0;
    int m_topRow = -1;
    int m_topOffset = 0;
    int m_currentRow = -1;
    int m_currentColumn = -1;
    QVector<Range> m_selection;
    // The row whose new place tells how far every row has moved.
    int m_referenceRow = -1;
    QVector<QVariant> m_reference;
};

} // namespace Veltrano
