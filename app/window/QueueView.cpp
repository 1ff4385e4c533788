// TQueueView (see QueueView.h).
#include "QueueView.h"

#include <QAbstractItemView>
#include <QHeaderView>
#include <QVBoxLayout>

TQueueView::TQueueView(QWidget *AParent) : QWidget(AParent, Qt::Tool) {
  setWindowTitle(QStringLiteral("Queue"));
  setAttribute(Qt::WA_ShowWithoutActivating);
  auto *layout = new QVBoxLayout(this);
  layout->setContentsMargins(6, 6, 6, 6);
  List = new QTreeWidget(this);
  List->setColumnCount(3);
  List->setHeaderLabels({QStringLiteral("File"), QStringLiteral("State"), QStringLiteral("Size")});
  List->setRootIsDecorated(false);
  List->setSelectionMode(QAbstractItemView::NoSelection);
  List->setFocusPolicy(Qt::NoFocus);
  List->setTextElideMode(Qt::ElideMiddle);
  List->header()->setStretchLastSection(false);
  List->header()->setSectionResizeMode(0, QHeaderView::Stretch);
  List->header()->setSectionResizeMode(1, QHeaderView::ResizeToContents);
  List->header()->setSectionResizeMode(2, QHeaderView::ResizeToContents);
  Total = new QLabel(this);
  layout->addWidget(List);
  layout->addWidget(Total);
  resize(442, 180);
}

void TQueueView::SetRows(const std::vector<std::array<QString, 3>> &ARows, const std::vector<QString> &AProblems) {
  // Rows are changed in place: rebuilding the list on every change of state
  // floods screen readers with rows that come and go.
  const int count = static_cast<int>(ARows.size());
  while (List->topLevelItemCount() > count) delete List->takeTopLevelItem(List->topLevelItemCount() - 1);
  while (List->topLevelItemCount() < count) {
    auto *item = new QTreeWidgetItem(List);
    item->setTextAlignment(2, Qt::AlignRight | Qt::AlignVCenter);
  }
  for (int i = 0; i < count; ++i) {
    QTreeWidgetItem *item = List->topLevelItem(i);
    const QString problem = static_cast<size_t>(i) < AProblems.size() ? AProblems[static_cast<size_t>(i)] : QString();
    for (int c = 0; c < 3; ++c) {
      if (item->text(c) != ARows[static_cast<size_t>(i)][static_cast<size_t>(c)])
        item->setText(c, ARows[static_cast<size_t>(i)][static_cast<size_t>(c)]);
      if (item->toolTip(c) != problem) {
        item->setToolTip(c, problem);
        item->setForeground(c, problem.isEmpty() ? List->palette().brush(QPalette::Text) : QBrush(Qt::red));
      }
    }
  }
}

void TQueueView::SetTotal(const QString &AText) { Total->setText(AText); }
