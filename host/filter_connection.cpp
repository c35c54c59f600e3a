#include "host/filter_connection.h"

#include <utility>

namespace vortane::host {

FilterVerdict FilterConnection::OnRequestHeaders(MemoryRequest request) {
  const bool secure = request.secure;
  server_.StartRequest(std::move(request));
  if (filter_ == nullptr || !filter_->Wants(SF_NOTIFY_PREPROC_HEADERS, secure)) {
    return FilterVerdict::Continue;
  }
  const DWORD status = filter_->httpFilterProc(server_.Context(), SF_NOTIFY_PREPROC_HEADERS,
                                               server_.PreprocHeaders());
  switch (status) {
    case SF_STATUS_REQ_FINISHED:
    case SF_STATUS_REQ_FINISHED_KEEP_CONN:
      return FilterVerdict::Finished;
    case SF_STATUS_REQ_ERROR:
      return FilterVerdict::Failed;
    default:
      return FilterVerdict::Continue;
  }
}

LogFields FilterConnection::OnLog(unsigned status) {
  HTTP_FILTER_LOG* record = server_.PrepareLogRecord();
  record->dwHttpStatus = status;
  if (filter_ != nullptr && filter_->Wants(SF_NOTIFY_LOG, server_.Request().secure) &&
      !server_.LogNotificationDisabled()) {
    filter_->httpFilterProc(server_.Context(), SF_NOTIFY_LOG, record);
  }
  LogFields fields;
  if (record->pszTarget != nullptr) fields.target = record->pszTarget;
  if (record->pszParameters != nullptr) fields.query = record->pszParameters;
  return fields;
}

}  // namespace vortane::host
