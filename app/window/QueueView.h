// TQueueView: the files of a queue in a small window of their own beside the
// main window: each file with its state and size, and the total expected
// size. The window that owns it fills it; it holds no state of the queue.
//
// Threads: the GUI thread only.
#pragma once

#include <QLabel>
#include <QString>
#include <QTreeWidget>
#include <QWidget>

#include <array>
#include <vector>

class TQueueView : public QWidget {
 public:
  explicit TQueueView(QWidget *AParent);
  // One row per file: name, state, size; AProblem marks a row (red) and is
  // its tooltip.
  void SetRows(const std::vector<std::array<QString, 3>> &ARows, const std::vector<QString> &AProblems);
  void SetTotal(const QString &AText);
  QTreeWidget *List = nullptr;
  QLabel *Total = nullptr;
};
