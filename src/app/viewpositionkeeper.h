#pragma once

#include <QObject>

class QTableView;

namespace Veltrano {

// Keeps a table view on the rows the user is reading while rows come in
// above them. The selection and the current cell follow the inserted rows by
// themselves; the scroll position does not: it is moved down by the rows
// inserted above the top row on screen. A view scrolled to the very top stays
// there, so the newest rows come into sight as they arrive.
//
// Made once for a view and its model; it belongs to the view.
class ViewPositionKeeper : public QObject
{
    Q_OBJECT
public:
    explicit ViewPositionKeeper(QTableView *view);

private:
    void aboutToInsert(int first);
    void inserted(int first, int last);

    QTableView *m_view;
    bool m_shift = false;
};

} // namespace Veltrano
