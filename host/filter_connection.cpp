#include "host/filter_connection.h"

namespace vortane::host {

FilterVerdict FilterConnection::OnRequestHeaders() {
  if (filter_ == nullptr || !filter_->Wants(SF_NOTIFY_PREPROC_HEADERS, server_.Request().secure)) {
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

void FilterConnection::OnLog(unsigned status, LogFields* fields) {
  const bool notify = filter_ != nullptr &&
                      filter_->Wants(SF_NOTIFY_LOG, server_.Request().secure) &&
                      !server_.LogNotificationDisabled();
  if (!notify && fields == nullptr) return;
  HTTP_FILTER_LOG* record = server_.PrepareLogRecord();
  record->dwHttpStatus = status;
  if (notify) filter_->httpFilterProc(server_.Context(), SF_NOTIFY_LOG, record);
  if (fields == nullptr) return;
  fields->target.assign(record->pszTarget != nullptr ? record->pszTarget : "");
  fields->query.assign(record->pszParameters != nullptr ? record->pszParameters : "");
}

}  // namespace vortane::host
