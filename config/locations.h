// Where the launcher's configuration files and the platform's application
// data lie. Every location is computed afresh from the user's home
// directory on each call; nothing is checked or created here. When the
// home directory cannot be found the paths start at the root.
#pragma once

#include "platform/stdx_string.h"

// File name of every launcher configuration file.
constexpr const char16_t* kStartFileName = u"kxlaunch.cfg";
// Folder of the ordinary launcher configuration, below the home directory
// or the application-data directory.
constexpr const char16_t* kStartrDir = u".KX/kxlaunch";
// Folder of the base launcher configuration, below the home directory.
constexpr const char16_t* kStartrDirt = u".KX/kxlauncht";

// HOME/.kxq5/ with its final "/". The application data is per user on this
// platform, so allUsers makes no difference.
stdx::u16string app_data_dir(bool allUsers);
// app_data_dir(allUsers) followed by KX/kxq5/, final "/" included.
stdx::u16string q5_app_data_dir(bool allUsers);

// The ordinary family: the per-user file HOME/.KX/kxlaunch/kxlaunch.cfg and
// the all-users file HOME/.kxq5/.KX/kxlaunch/kxlaunch.cfg.
stdx::u16string get_local_config_file_dir();
stdx::u16string get_local_config_file_path();
stdx::u16string get_allusers_config_file_dir();
stdx::u16string get_allusers_config_file_path();

// The base family: the per-user file HOME/.KX/kxlauncht/kxlaunch.cfg; its
// all-users role is played by the ordinary per-user file, so
// get_allusers_config_file_path_base() equals get_local_config_file_path().
stdx::u16string get_local_config_file_dir_base();
stdx::u16string get_local_config_file_path_base();
stdx::u16string get_allusers_config_file_path_base();

// True when a new file can be created in dir itself: a probe file is made
// there and deleted again, so nothing is left behind either way.
bool isWritePermitted(const stdx::u16string& dir);
