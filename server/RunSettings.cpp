#include "server/RunSettings.h"

const char *ElementName = "TestElement1";
const char *PutProfile = nullptr;
const char *GetProfile = nullptr;
int DataTimeout = 0;
int DataMinWait = 0;
int DataMaxWait = 0;
int DataMinSize = 0;
int DataMaxSize = 0;
int DataNormal = 1;
int DataNotify = 0;
char DataMsgId[24] = {};
int DataAlert = 0;
int DataQuiet = 0;
int Popups = 0;

volatile sig_atomic_t Run = 1;
volatile sig_atomic_t OutputLost = 0;
