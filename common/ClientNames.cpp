#include "common/ClientNames.h"

// Defined in one file so that they are created in this order, before main.
const std::string BASE_DIR = "./";
const std::string REPORT_FILE_PATH = "./poker.jex";
const std::string STARTUP_FILE_PATH = "./startup.dat";
const std::string NWM_FILE_PATH = "./nwm.dat";
const std::string USERS_DIR = "./users/";
const std::string NOTES_FILE_NAME = "notes.dat";
const std::string TAGS_FILE_NAME = "tags.dat";
const std::string USER_FILE_NAME = "user.dat";
const std::string LN_FILE_PATH = "./ln.dat";
const std::string STARTUP_FILE_PATH_2 = "./startup.dat";
const std::string CERT_FILE_NAME = "poker-pem.crt";
const std::string TEMP_FILE_NAME = "pokertmp.tmp";
const std::string PROPERTIES_URL_KEY = "properties.url";
const std::string PROPERTIES_URL_BACKUP_KEY = "properties.url.backup";
const std::string CASINO_ID_KEY = "casino.id";
const std::string ENVIRONMENT_ID_KEY = "environment.id";
const std::string UPDATE_MANIFEST_LOCATION_KEY = "update.manifest.location";
const std::string UPDATE_MANIFEST_LOCATION_BACKUP_KEY = "update.manifest.location.backup";
const std::string URL_BUG_REPORT_KEY = "url.bugReport";
const std::string ROUTER_HOSTNAME_KEY = "router.hostname";
const std::string ROUTER_PORT_KEY = "router.port";
const std::string GAMELIST_HOSTNAME_KEY = "gamelist.hostname";
const std::string GAMELIST_PORT_KEY = "gamelist.port";
const std::string GAMELIST_BACKUP_HOSTNAME_KEY = "gamelist.backup.hostname";
const std::string GAMELIST_BACKUP_PORT_KEY = "gamelist.backup.port";
const std::string TMP_PREFIX = "_tmp_";
const std::string TMP_SELF_NAME = "_tmp_handover.exe";
const std::string SESSION_FILE_NAME = "session.dat";
const std::string EMPTY_STRING = "";
