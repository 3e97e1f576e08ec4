// Main window of qv01_fm: the connect, radio, filters and spectrum panels in
// their group boxes, wired together. Fixed at 992 x 751.
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
