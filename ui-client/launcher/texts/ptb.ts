<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="pt_BR" sourcelanguage="en_US">
<context>
    <name>global</name>
    <message>
        <source>Brisendale Drive</source>
        <translation>Brisendale Drive</translation>
    </message>
    <message>
        <source>Brisendale Drive is initializing...</source>
        <translation>O Brisendale Drive está inicializando...</translation>
    </message>
    <message>
        <source>%1 is initializing...</source>
        <translation>%1 está inicializando...</translation>
    </message>
    <message>
        <source>Brisendale Drive is ready.</source>
        <translation>O Brisendale Drive está pronto.</translation>
    </message>
    <message>
        <source>%1 is ready.</source>
        <translation>%1 está pronto.</translation>
    </message>
    <message>
        <source>%1 could not be updated</source>
        <translation>Não foi possível atualizar o %1</translation>
    </message>
    <message>
        <source>%1 stops trying this update for now</source>
        <translation>O %1 parou de tentar esta atualização por enquanto</translation>
    </message>
    <message>
        <source>%1 moved files out of its way</source>
        <translation>O %1 moveu arquivos que estavam no caminho</translation>
    </message>
    <message>
        <source>There is not enough free disk space.</source>
        <translation>Não há espaço livre suficiente no disco.</translation>
    </message>
    <message>
        <source>Your disk quota is used up.</source>
        <translation>Sua cota de disco acabou.</translation>
    </message>
    <message>
        <source>The update package is damaged.</source>
        <translation>O pacote de atualização está danificado.</translation>
    </message>
    <message>
        <source>Files of another user are in the way.</source>
        <translation>Há arquivos de outro usuário no caminho.</translation>
    </message>
    <message>
        <source>An unexpected error occurred.</source>
        <translation>Ocorreu um erro inesperado.</translation>
    </message>
    <message>
        <source>The installed version keeps working.</source>
        <translation>A versão instalada continua funcionando.</translation>
    </message>
    <message>
        <source>Details: %1</source>
        <translation>Detalhes: %1</translation>
    </message>
    <message>
        <source>Finishing the installation... %1%</source>
        <translation>Concluindo a instalação... %1%</translation>
    </message>
</context>
</TS>
