// Product and file version of the executable, shared by its version resource.
#pragma once

#define NYX_VERSION_MAJOR 1
#define NYX_VERSION_MINOR 0
#define NYX_VERSION_PATCH 0
#define NYX_VERSION_BUILD 0
#define NYX_VERSION_TEXT "1.0.0.0"
#define NYX_PRODUCT_NAME "QV NYX Service"
