// The web console's routes of the archive options dialog, the schedule
// dialogs, the folder dialog and the FTP server dialog (ArchiveDialog.h,
// FolderDialog.h, FtpTest.h). Every route needs the console's administrator;
// every change is a POST with the session's token.
//
//   GET  /api/dialogs/archives/new             the Add dialog
//   GET  /api/dialogs/archives/NAME            the Edit dialog (read-only while active)
//   POST /api/dialogs/archives                 OK of Add
//   POST /api/dialogs/archives/NAME            OK of Edit, with the version read
//   GET  /api/dialogs/segment-preview?duration=TEXT&align=0|1
//   GET  /api/dialogs/schedule-event/new       a new event's defaults
//   POST /api/dialogs/schedule-event           OK of the event dialog
//   GET  /api/dialogs/folders?path=P           the folder browser's view
//   POST /api/dialogs/folders                  the folder chosen (or created)
//   POST /api/dialogs/ftp-test                 "Test Connection Parameters"
//
// The dialog logic runs on the UI thread; the FTP test runs on the HTTP
// thread that asked, since it waits on the network.
#pragma once

#include "App/Server/ConsoleDialogs.h"

namespace logrum::server {

void RegisterArchiveDialogs(httplib::Server& http, const ConsoleDialogHost& host);

}  // namespace logrum::server
