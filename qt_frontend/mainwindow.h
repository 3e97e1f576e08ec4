// Main window of qv01_fm: the connect, radio, filters and spectrum panels in
// their group boxes, wired together. Fixed at 992 x 751.
//
// Threads: GUI thread only, as are the panels it owns and every connection it
// makes between them (direct calls, except the overflow check, queued behind
// the processing run). Building it builds the radio panel, whose first call of
// board_instance() opens the board and starts the board's stream thread; that
// thread reaches no widget, only the board's sample ring. The board outlives
// the window.
#pragma once

#include <QMainWindow>

class ConnectWidget;
class FiltersWidget;
class RadioWidget;
class SpecWidget;

namespace Ui {
class MainWindow;
}

class MainWindow : public QMainWindow {
  public:
    explicit MainWindow(QWidget* parent = nullptr);
    ~MainWindow() override;

    MainWindow(const MainWindow&) = delete;
    MainWindow& operator=(const MainWindow&) = delete;

    ConnectWidget* connect_panel() const { return connect_; }
    RadioWidget* radio_panel() const { return radio_; }
    FiltersWidget* filters_panel() const { return filters_; }
    SpecWidget* spec_panel() const { return spec_; }

  private:
    Ui::MainWindow* ui_;
    ConnectWidget* connect_;
    RadioWidget* radio_;
    FiltersWidget* filters_;
    SpecWidget* spec_;
};
