// The COM and automation declarations of the Windows build: the system's
// own, so that the COM runtime marshals the product's interfaces itself.
// com/com.h includes this file; nothing else should. The numbers that
// platform/types.h keeps for the portable code are checked against the
// system's here.
#pragma once

#include <oaidl.h>
#include <objbase.h>
#include <oleauto.h>

#include "platform/types.h"

// windows.h names its own SID-to-name lookup LookupAccountSid through a
// macro, which would rename the layer's LookupAccountSid (platform/account.h)
// in every file that includes this one.
#undef LookupAccountSid

static_assert(sizeof(ULONG) == 4 && sizeof(USHORT) == 2 && sizeof(SHORT) == 2 && sizeof(OLECHAR) == 2);
static_assert(S_OK == wl::kSOk && S_FALSE == wl::kSFalse);
static_assert(E_NOTIMPL == wl::kENotImpl && E_NOINTERFACE == wl::kENoInterface && E_POINTER == wl::kEPointer);
static_assert(E_FAIL == wl::kEFail && E_UNEXPECTED == wl::kEUnexpected && E_INVALIDARG == wl::kEInvalidArg);
static_assert(E_OUTOFMEMORY == wl::kEOutOfMemory && CLASS_E_NOAGGREGATION == wl::kClassENoAggregation);
static_assert(CLASS_E_CLASSNOTAVAILABLE == wl::kClassEClassNotAvailable);
static_assert(REGDB_E_CLASSNOTREG == wl::kRegdbEClassNotReg && CO_E_SERVER_EXEC_FAILURE == wl::kCoEServerExecFailure);
static_assert(CO_E_NOTINITIALIZED == wl::kCoENotInitialized && CO_E_OBJNOTCONNECTED == wl::kCoEObjNotConnected);
static_assert(RPC_E_CHANGED_MODE == wl::kRpcEChangedMode && RPC_E_DISCONNECTED == wl::kRpcEDisconnected);
static_assert(RPC_E_TIMEOUT == wl::kRpcETimeout && E_ACCESSDENIED == wl::kEAccessDenied);
static_assert(DISP_E_UNKNOWNINTERFACE == wl::kDispEUnknownInterface &&
              DISP_E_MEMBERNOTFOUND == wl::kDispEMemberNotFound);
static_assert(DISP_E_PARAMNOTFOUND == wl::kDispEParamNotFound && DISP_E_TYPEMISMATCH == wl::kDispETypeMismatch);
static_assert(DISP_E_UNKNOWNNAME == wl::kDispEUnknownName && DISP_E_NONAMEDARGS == wl::kDispENoNamedArgs);
static_assert(DISP_E_BADVARTYPE == wl::kDispEBadVarType && DISP_E_EXCEPTION == wl::kDispEException);
static_assert(DISP_E_OVERFLOW == wl::kDispEOverflow && DISP_E_BADINDEX == wl::kDispEBadIndex);
static_assert(DISP_E_BADPARAMCOUNT == wl::kDispEBadParamCount && DISP_E_PARAMNOTOPTIONAL == wl::kDispEParamNotOptional);
static_assert(TYPE_E_LIBNOTREGISTERED == wl::kTypeELibNotRegistered &&
              TYPE_E_ELEMENTNOTFOUND == wl::kTypeEElementNotFound);
static_assert(TYPE_E_CANTLOADLIBRARY == wl::kTypeECantLoadLibrary);
static_assert(HRESULT_FROM_WIN32(RPC_X_NULL_REF_POINTER) == wl::kRpcXNullRefPointer);
