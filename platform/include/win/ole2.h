// Everything a COM/Automation client or server includes.
#pragma once

#include "win/oaidl.h"
#include "win/objbase.h"
#include "win/objidl.h"
#include "win/ocidl.h"
#include "win/oleauto.h"
#include "win/unknwn.h"
#include "win/wtypes.h"
