// filled in by the parser's implementation
