// Windows supplies BSTR and VARIANT functions in oleaut32; nothing to add here.
