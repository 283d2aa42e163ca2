// Names that handover shares with the client: files and folders of the installation tree,
// setting names, the staged-file names and the utility library's empty string.
// All exist before main runs and last until the process exits.
#pragma once

#include <string>

extern const std::string BASE_DIR;
extern const std::string REPORT_FILE_PATH;
extern const std::string STARTUP_FILE_PATH;
extern const std::string NWM_FILE_PATH;
extern const std::string USERS_DIR;
extern const std::string NOTES_FILE_NAME;
extern const std::string TAGS_FILE_NAME;
extern const std::string USER_FILE_NAME;
extern const std::string LN_FILE_PATH;
extern const std::string STARTUP_FILE_PATH_2;
extern const std::string CERT_FILE_NAME;
extern const std::string TEMP_FILE_NAME;
extern const std::string PROPERTIES_URL_KEY;
extern const std::string PROPERTIES_URL_BACKUP_KEY;
extern const std::string CASINO_ID_KEY;
extern const std::string ENVIRONMENT_ID_KEY;
extern const std::string UPDATE_MANIFEST_LOCATION_KEY;
extern const std::string UPDATE_MANIFEST_LOCATION_BACKUP_KEY;
extern const std::string URL_BUG_REPORT_KEY;
extern const std::string ROUTER_HOSTNAME_KEY;
extern const std::string ROUTER_PORT_KEY;
extern const std::string GAMELIST_HOSTNAME_KEY;
extern const std::string GAMELIST_PORT_KEY;
extern const std::string GAMELIST_BACKUP_HOSTNAME_KEY;
extern const std::string GAMELIST_BACKUP_PORT_KEY;
extern const std::string TMP_PREFIX;
extern const std::string TMP_SELF_NAME;
extern const std::string SESSION_FILE_NAME;
extern const std::string EMPTY_STRING;
