#include "agent/server/term_server_events.h"

#include <cstdlib>
#include <string>

#include "agent/log/agent_log.h"
#include "agent/protocol/dispatcher.h"
#include "agent/protocol/login.h"
#include "agent/server/com_user_handle.h"
#include "platform/com/bstr.h"

namespace vorlane::agent {

using namespace vorlane::com;

namespace {

enum Event : DISPID {
  kConnecting = 1,
  kLoginPassword = 2,
  kDisconnected = 3,
  kReceived = 5,
  kServiceRequest = 6,
  kServiceStart = 7,
  kSftpDownloadFile = 9,
  kSftpUploadFile = 10,
};

constexpr int32_t kSftpService = 3;
constexpr size_t kMaxTempPath = 260;

constexpr std::string_view kConnectionFrom = "Connection from ";
constexpr std::string_view kUserDisconnected = "User disconnected";
constexpr std::string_view kDownloading = "DOWNLOADING FILE!!!!!!!!!";
constexpr std::string_view kUploading = "UPLOADING FILE!!!!!!!!!";

// Arguments come last first: argument k of n is rgvarg[n - 1 - k]. By-reference arguments are
// followed to their value.
class EventArgs {
 public:
  explicit EventArgs(DISPPARAMS* params) : params_(params) {}
  uint32_t Count() const { return params_ ? params_->cArgs : 0; }
  VARIANT* At(uint32_t k) const {
    if (k >= Count()) return nullptr;
    VARIANT* v = &params_->rgvarg[params_->cArgs - 1 - k];
    if (v->vt == (VT_VARIANT | VT_BYREF)) v = v->pvarVal;
    return v;
  }
  IDispatch* User() const {
    VARIANT* v = At(0);
    if (v == nullptr) return nullptr;
    if (v->vt == VT_DISPATCH) return v->pdispVal;
    if (v->vt == (VT_DISPATCH | VT_BYREF)) return *v->ppdispVal;
    return nullptr;
  }
  int32_t Long(uint32_t k) const {
    VARIANT* v = At(k);
    if (v == nullptr) return 0;
    if (v->vt == VT_I4) return v->lVal;
    if (v->vt == (VT_I4 | VT_BYREF)) return *v->plVal;
    return 0;
  }
  int32_t* LongOut(uint32_t k) const {
    VARIANT* v = At(k);
    return (v != nullptr && v->vt == (VT_I4 | VT_BYREF)) ? v->plVal : nullptr;
  }
  std::string Text(uint32_t k) const {
    VARIANT* v = At(k);
    if (v == nullptr) return {};
    BSTR text = v->vt == VT_BSTR ? v->bstrVal : v->vt == (VT_BSTR | VT_BYREF) ? *v->pbstrVal : nullptr;
    return Bstr(std::u16string_view(text ? text : u"", SysStringLen(text))).ToUtf8();
  }

 private:
  DISPPARAMS* params_;
};

// The system's folder for temporary files, with a trailing slash.
std::string TemporaryFolder() {
  const char* tmp = std::getenv("TMPDIR");
  std::string folder = (tmp != nullptr && *tmp != '\0') ? tmp : "/tmp/";
  if (folder.back() != '/') folder += '/';
  if (folder.size() > kMaxTempPath) return {};
  return folder;
}

}  // namespace

HRESULT CTermServerEvents::QueryInterfaceExtra(const IID& iid, void** object) {
  if (iid != kTermServerEventsIid) return E_NOINTERFACE;
  AddRef();
  *object = static_cast<IDispatch*>(this);
  return S_OK;
}

HRESULT CTermServerEvents::GetTypeInfoCount(uint32_t* count) {
  if (count == nullptr) return E_POINTER;
  *count = 0;
  return S_OK;
}

HRESULT CTermServerEvents::GetTypeInfo(uint32_t, LCID, void** typeInfo) {
  if (typeInfo != nullptr) *typeInfo = nullptr;
  return E_NOTIMPL;
}

HRESULT CTermServerEvents::GetIDsOfNames(const IID&, OLECHAR**, uint32_t, LCID, DISPID*) { return E_NOTIMPL; }

HRESULT CTermServerEvents::Invoke(DISPID id, const IID&, LCID, uint16_t, DISPPARAMS* params, VARIANT*, EXCEPINFO*,
                                  uint32_t*) {
  return CatchReturn([&]() -> HRESULT {
    EventArgs args(params);
    ComUserHandle user(args.User());
    switch (id) {
      case kConnecting:
        Log(std::string(kConnectionFrom) + user.RemoteAddress(), kLogInfo);
        if (int32_t* action = args.LongOut(1)) *action = 1;
        break;
      case kLoginPassword:
        if (int32_t* action = args.LongOut(3)) {
          *action = OnLoginPassword(context_, user, args.Text(1), args.Text(2));
        }
        break;
      case kDisconnected:
        Log(kUserDisconnected, kLogInfo);
        break;
      case kReceived:
        DispatchRequest(context_, user, args.Long(1), args.Long(2));
        break;
      case kServiceRequest:
        if (int32_t* type = args.LongOut(2)) {
          if (*type == kSftpService) {
            if (std::string folder = TemporaryFolder(); !folder.empty()) {
              user.SetSftpHome(folder);
              Log(folder, kLogInfo);
            }
          } else {
            *type = 0;
          }
        }
        break;
      case kServiceStart:
        OnServiceStart(context_, user, args.Long(1), args.Long(2), args.Text(3));
        break;
      case kSftpDownloadFile:
        Log(kDownloading, kLogInfo);
        break;
      case kSftpUploadFile:
        Log(kUploading, kLogInfo);
        Log(args.Text(2), kLogInfo);
        if (int32_t* action = args.LongOut(3)) *action = 1;
        break;
      default:
        break;  // the component's defaults apply
    }
    return S_OK;
  });
}

}  // namespace vorlane::agent
