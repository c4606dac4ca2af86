// Placeholder translation unit replaced by the extension module.
