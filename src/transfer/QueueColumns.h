// The queue's columns as people see them: the main window's list and the table that --list
// prints. Every shown column is described here once; the list hides all others.
#pragma once

#include "transfer/Queue.h"

#include <array>

// How the main window's list gives a column its width.
enum class QueueColumnWidth {
    Design,   // always its design width
    GivesWay, // its design width, but at most a third of what the design-width columns leave
    Rest,     // whatever the list has left after the others
    Status,   // wide enough for the longest status text a row can show
};

struct QueueColumn {
    // The list's column: 0 shows the row's image, n (1 to 19) field n.
    int column;
    // The field whose text the table prints (the image stands for the status letter).
    int field;
    // The window's name for the column; the list's header shows it as the column's tool tip.
    const char *caption;
    // The table's heading.
    const char *heading;
    // The design width in twips.
    int twips;
    QueueColumnWidth width;
};

// In the table's order (after the row number it begins with); the window's list shows each at
// its own column, in column order.
inline constexpr std::array<QueueColumn, 6> QueueColumns = {{
    {0, QueueItem::Status, "State", "St", 617, QueueColumnWidth::Design},
    {QueueItem::Priority, QueueItem::Priority, "Priority", "Pri", 529, QueueColumnWidth::Design},
    {QueueItem::Tries, QueueItem::Tries, "Tries", "Tries", 706, QueueColumnWidth::Design},
    {QueueItem::UserName, QueueItem::UserName, "Send to", "User", 2646, QueueColumnWidth::GivesWay},
    {QueueItem::FileName, QueueItem::FileName, "File", "File", 5468, QueueColumnWidth::Rest},
    {QueueItem::StatusText, QueueItem::StatusText, "Status", "Status", 5080, QueueColumnWidth::Status},
}};

// The shown column at the list's column number; null for a hidden one.
constexpr const QueueColumn *ShownQueueColumn(int column)
{
    for (const QueueColumn &c : QueueColumns)
        if (c.column == column)
            return &c;
    return nullptr;
}
