def double(value):
    result = value * 2
    return result
