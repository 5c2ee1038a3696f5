namespace kestrel::video {}
