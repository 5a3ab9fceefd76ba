// The HTTP routes of the station's configuration dialogs in the web console:
// the audio source manager, the user manager with its user and access-rights
// dialogs, the server options and the GPIO dialogs. Every route is the
// administrator's (ConsoleDialogHost::authorize: the Host header, the session
// token on every POST); the answers are those of ConsoleDialogs.h.
//
//   GET  /api/audio-sources                  POST /api/audio-sources/{add,remove}
//   GET  /api/users, /api/users/user?name=N,  POST /api/users/{add,edit,rights,remove}
//        /api/users/rights?name=N
//   GET  /api/server-options                 POST /api/server-options
//   GET  /api/gpio?device=D,                  POST /api/gpio/{active,input,test,close}
//        /api/gpio/input?device=D&input=N
//
// Thread safety: registered before the server listens; the handlers run on
// the HTTP threads and reach the model only through host.run_on_ui.
#pragma once

#include <memory>

#include "App/Server/BootUnit.h"
#include "App/Server/ConsoleDialogs.h"
#include "App/Server/GpioBinding.h"

namespace logrum::server {

// `gpio` may be null (no switch inputs); `boot` null runs systemctl.
void AddStationDialogRoutes(httplib::Server& http, const ConsoleDialogHost& host,
                            const GpioBinding* gpio, std::shared_ptr<BootUnit> boot);

}  // namespace logrum::server
