// vlngui: the user's tray client.
#include "client_gui_app.h"

int main(int argc, char** argv) { return vlngui::CClientGUIApp::run(argc, argv); }
