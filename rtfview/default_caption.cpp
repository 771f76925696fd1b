#include "default_caption.h"

const char kDefaultCaption[] = "835 De-Identifier";
