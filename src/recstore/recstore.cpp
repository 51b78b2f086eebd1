// Placeholder translation unit; the record-file service is being written.
